// The status and configuration documents and their element builders. XML is
// built by plain concatenation; outside text (plates, the serial number read
// from the platform) goes in through xmlText, our own numbers as they are.
#include <sstream>

#include "util/escape.h"
#include "util/globals.h"
#include "util/log.h"
#include "web/proc_stats.h"
#include "web/web_service.h"

std::string OsdpPeripheral::xmlElement(const std::string& name, int value) {
    return xmlElement(name, std::to_string(value));
}

std::string OsdpPeripheral::xmlElement(const std::string& name, const std::string& value) {
    return "<" + name + ">" + value + "</" + name + ">";
}

std::string OsdpPeripheral::xmlElement(const std::string& name, bool value) {
    return xmlElement(name, std::string(value ? "true" : "false"));
}

std::string OsdpPeripheral::hexText(uint32_t value) {
    std::ostringstream text;
    text << std::hex << std::uppercase << value;
    return text.str();
}

std::string WebService::statusDocument() {
    ProcStats stats;
    stats.readMemory();
    return statusDocument(stats.memoryXml);
}

std::string WebService::statusDocument(const std::string& memoryXml) const {
    const PeripheralStatus status = osdp.status();
    std::string doc = "<response>\n";
    doc += memoryXml;
    doc += OsdpPeripheral::xmlElement("sn", xmlText(DeviceSerial));
    doc += OsdpPeripheral::xmlElement("restart_required", status.restartRequired);
    doc += OsdpPeripheral::xmlElement("save_required", status.saveRequired);
    doc += OsdpPeripheral::xmlElement("DEBUG_LEVEL", static_cast<int>(DebugLevel.load()));
    doc += OsdpPeripheral::xmlElement("reader1", static_cast<int>(status.readerAddress[0]));
    doc += OsdpPeripheral::xmlElement("reader2", static_cast<int>(status.readerAddress[1]));
    doc += OsdpPeripheral::xmlElement("lastCard1", OsdpPeripheral::hexText(status.lastCard[0]));
    doc += OsdpPeripheral::xmlElement("lastCard2", OsdpPeripheral::hexText(status.lastCard[1]));
    doc += OsdpPeripheral::xmlElement("tamper1", status.tamper[0] != 0);
    doc += OsdpPeripheral::xmlElement("tamper2", status.tamper[1] != 0);
    doc += OsdpPeripheral::xmlElement("lastLpr1", xmlText(status.lastLpr[0]));
    doc += OsdpPeripheral::xmlElement("lastLpr2", xmlText(status.lastLpr[1]));
    // Counters are unsigned 32-bit: past 2^31 the integer overload would go negative.
    doc += OsdpPeripheral::xmlElement("reqIn", std::to_string(status.reqIn));
    doc += OsdpPeripheral::xmlElement("reqOut", std::to_string(status.reqOut));
    doc += "</response>\n";
    return doc;
}

std::string WebService::diagnosticsDocument() const {
    const LineDiagnostics line = osdp.diagnostics();
    // An age that has no start yet (nothing heard) is an empty element.
    auto age = [](int64_t ms) { return ms < 0 ? std::string() : std::to_string(ms); };
    std::string doc = "<response>\n";
    for (int r = 0; r < kReaderCount; ++r)
        doc +=
            OsdpPeripheral::xmlElement("polling" + std::to_string(r + 1), line.reader[r].polling);
    for (int r = 0; r < kReaderCount; ++r) {
        doc += OsdpPeripheral::xmlElement("msSinceFrame" + std::to_string(r + 1),
                                          age(line.reader[r].msSinceFrame));
    }
    for (int r = 0; r < kReaderCount; ++r) {
        doc += OsdpPeripheral::xmlElement("framesAnswered" + std::to_string(r + 1),
                                          std::to_string(line.reader[r].framesAnswered));
    }
    for (int r = 0; r < kReaderCount; ++r) {
        doc += OsdpPeripheral::xmlElement("repeatsAnswered" + std::to_string(r + 1),
                                          std::to_string(line.reader[r].repeatsAnswered));
    }
    doc += OsdpPeripheral::xmlElement("badCheck", std::to_string(line.badCheck));
    doc += OsdpPeripheral::xmlElement("badLength", std::to_string(line.badLength));
    doc += OsdpPeripheral::xmlElement("foreignFrames", std::to_string(line.foreignFrames));
    doc += OsdpPeripheral::xmlElement("discardedBytes", std::to_string(line.discardedBytes));
    doc += OsdpPeripheral::xmlElement("msSinceByte", age(line.msSinceByte));
    doc += OsdpPeripheral::xmlElement("refusedRequests", std::to_string(refusedRequests()));
    doc += "</response>\n";
    return doc;
}

std::string WebService::configDocument() const {
    return "<response>\n</response>\n";
}
