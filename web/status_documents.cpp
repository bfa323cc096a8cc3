// The status and configuration documents and their element builders. XML is
// built by plain concatenation; outside text (plates, the serial number read
// from the platform) goes in through xmlText, our own numbers as they are.
#include <sstream>

#include "util/escape.h"
#include "util/globals.h"
#include "util/log.h"
#include "web/proc_stats.h"
#include "web/web_service.h"
#include "web/xml_text.h"

std::string WebService::statusDocument() {
    ProcStats stats;
    stats.readMemory();
    return statusDocument(stats.memoryXml);
}

std::string WebService::statusDocument(const std::string& memoryXml) const {
    const PeripheralStatus status = osdp.status();
    std::string doc = "<response>\n";
    doc += memoryXml;
    doc += xmlElement("sn", xmlText(DeviceSerial));
    doc += xmlElement("restart_required", status.restartRequired);
    doc += xmlElement("save_required", status.saveRequired);
    doc += xmlElement("DEBUG_LEVEL", static_cast<int>(DebugLevel.load()));
    doc += xmlElement("reader1", static_cast<int>(status.readerAddress[0]));
    doc += xmlElement("reader2", static_cast<int>(status.readerAddress[1]));
    doc += xmlElement("lastCard1", hexText(status.lastCard[0]));
    doc += xmlElement("lastCard2", hexText(status.lastCard[1]));
    doc += xmlElement("tamper1", status.tamper[0] != 0);
    doc += xmlElement("tamper2", status.tamper[1] != 0);
    doc += xmlElement("lastLpr1", xmlText(status.lastLpr[0]));
    doc += xmlElement("lastLpr2", xmlText(status.lastLpr[1]));
    // Counters are unsigned 32-bit: past 2^31 the integer overload would go negative.
    doc += xmlElement("reqIn", std::to_string(status.reqIn));
    doc += xmlElement("reqOut", std::to_string(status.reqOut));
    doc += "</response>\n";
    return doc;
}

std::string WebService::diagnosticsDocument() const {
    const LineDiagnostics line = osdp.diagnostics();
    // An age that has no start yet (nothing heard) is an empty element.
    auto age = [](int64_t ms) { return ms < 0 ? std::string() : std::to_string(ms); };
    std::string doc = "<response>\n";
    for (int r = 0; r < kReaderCount; ++r)
        doc += xmlElement("polling" + std::to_string(r + 1), line.reader[r].polling);
    for (int r = 0; r < kReaderCount; ++r) {
        doc += xmlElement("msSinceFrame" + std::to_string(r + 1), age(line.reader[r].msSinceFrame));
    }
    for (int r = 0; r < kReaderCount; ++r) {
        doc += xmlElement("framesAnswered" + std::to_string(r + 1),
                          std::to_string(line.reader[r].framesAnswered));
    }
    for (int r = 0; r < kReaderCount; ++r) {
        doc += xmlElement("repeatsAnswered" + std::to_string(r + 1),
                          std::to_string(line.reader[r].repeatsAnswered));
    }
    doc += xmlElement("badCheck", std::to_string(line.badCheck));
    doc += xmlElement("badLength", std::to_string(line.badLength));
    doc += xmlElement("foreignFrames", std::to_string(line.foreignFrames));
    doc += xmlElement("discardedBytes", std::to_string(line.discardedBytes));
    doc += xmlElement("msSinceByte", age(line.msSinceByte));
    doc += xmlElement("refusedRequests", std::to_string(refusedRequests()));
    // The readers' cards, appended after the line's figures so that readers
    // of the earlier elements find them where they were.
    auto perReader = [&](const char* name, auto value) {
        for (int r = 0; r < kReaderCount; ++r)
            doc += xmlElement(name + std::to_string(r + 1), value(line.cards[r]));
    };
    perReader("cardsWaiting", [](const CardDiagnostics& c) { return std::to_string(c.waiting); });
    perReader("oldestCardMs", [&](const CardDiagnostics& c) { return age(c.oldestMs); });
    perReader("cardsDelivered",
              [](const CardDiagnostics& c) { return std::to_string(c.delivered); });
    perReader("cardsExpired", [](const CardDiagnostics& c) { return std::to_string(c.expired); });
    perReader("cardsDropped", [](const CardDiagnostics& c) { return std::to_string(c.dropped); });
    // The line's rate in force, after the rest for the same reason.
    doc += xmlElement("baud", std::to_string(line.baud));
    doc += "</response>\n";
    return doc;
}

std::string WebService::configDocument() const {
    return "<response>\n</response>\n";
}
