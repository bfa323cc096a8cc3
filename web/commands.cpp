// The query commands: one key/value pair each, answered with a reply text.
// Outside text in a reply is escaped: keys and values come from anyone.
#include <glib.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "util/config_file.h"
#include "util/escape.h"
#include "util/globals.h"
#include "util/log.h"
#include "util/plate_card.h"
#include "util/sha1.h"
#include "web/journal_document.h"
#include "web/metrics.h"
#include "web/proc_stats.h"
#include "web/status_page.h"
#include "web/web_service.h"
#include "web/xml_text.h"

namespace {

const char kInvalidParam[] = "<response>Invalid Param</response>\n";

std::string withoutBlanks(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c != ' ')
            out.push_back(c);
    }
    return out;
}

std::string digestHex(const std::string& text) {
    Sha1 sha;
    sha.update(text);
    return sha.finalHex();
}

// A card number in hexadecimal as std::stoul reads it (leading blanks, sign
// and "0x" accepted), held to 32 bits on every platform: unsigned long is 64
// bits wide on the build host and 32 on the camera. After the digits only
// blanks and line ends (an uploaded file's) may follow. Card 0 is refused: the
// engine never delivers it, so an "OK" would report a read that never comes.
// Throws std::invalid_argument or std::out_of_range.
uint32_t parseCardNumber(const std::string& value) {
    size_t used = 0;
    const unsigned long long number = std::stoull(value, &used, 16);
    if (value.find_first_not_of(" \t\r\n", used) != std::string::npos || number == 0) {
        throw std::invalid_argument("not a card number");
    }
    if (number > UINT32_MAX) {
        throw std::out_of_range("card number wider than 32 bits");
    }
    return static_cast<uint32_t>(number);
}

// The card a plate gives, for enrolling the plate at the panel: the plate as
// digested, the card in hexadecimal and in decimal, as most panels' card
// screens want it. Nothing is sent to a reader.
std::string plateCardDocument(const std::string& value) {
    // Plate events are UTF-8: a plate in other bytes gives a card no car brings.
    if (!g_utf8_validate(value.data(), static_cast<gssize>(value.size()), nullptr))
        return "<response>No plate: not UTF-8 text</response>\n";
    const std::optional<PlateCard> card = plateCard(value);
    if (!card)
        return "<response>No plate: empty, blanks or control characters only</response>\n";
    return "<response>\n" + xmlElement("plate", xmlText(card->plate)) +
           xmlElement("card", cardText(card->card)) +
           xmlElement("cardDecimal", std::to_string(card->card)) + "</response>\n";
}

using Value = const std::string&;

}  // namespace

bool isNumber(const std::string& text) {
    size_t start = (!text.empty() && text[0] == '-') ? 1 : 0;
    if (start == text.size())
        return false;
    for (size_t i = start; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
    }
    return true;
}

// The one list of commands; as a static member it may call the private
// handlers.
const WebCommand WebService::kCommands[] = {
    {"getStatusXML", RequestKind::kRead, [](WebService& w, Value) { return w.statusDocument(); }},
    {"getDiagnosticsXML", RequestKind::kRead,
     [](WebService& w, Value) { return w.diagnosticsDocument(); }},
    {"getConfigXML", RequestKind::kRead, [](WebService& w, Value) { return w.configDocument(); }},
    {"page", RequestKind::kRead, [](WebService&, Value) { return std::string(kStatusPage); }},
    {"getJournalXML", RequestKind::kRead,
     [](WebService& w, Value v) {
         size_t count = 0;
         if (!parseJournalCount(v, &count))
             return std::string(kInvalidParam);
         return journalDocument(w.osdp.journal.latest(count), w.osdp.journal.monotonicNow());
     }},
    {"metrics", RequestKind::kRead,
     [](WebService& w, Value) {
         return metricsText(w.osdp.diagnostics(), w.osdp.journal.counts(), w.refusedRequests());
     }},
    {"info", RequestKind::kRead, [](WebService& w, Value) { return w.infoCommand(); }},
    {"sha1", RequestKind::kRead, [](WebService&, Value v) { return sha1Command(v); }},
    {"plateCard", RequestKind::kRead, [](WebService&, Value v) { return plateCardDocument(v); }},
    {"DEBUG_LEVEL", RequestKind::kControl,
     [](WebService& w, Value v) { return w.debugLevelCommand(v); }},
    {"saveConfig", RequestKind::kControl,
     [](WebService& w, Value) {
         return std::string(w.saveSettings() ? "<response>OK</response>"
                                             : "<response>Failed</response>");
     }},
    {"CSN32LSB_Reader1", RequestKind::kControl,
     [](WebService& w, Value v) { return w.cardCommand(0, v); }},
    {"CSN32LSB_Reader2", RequestKind::kControl,
     [](WebService& w, Value v) { return w.cardCommand(1, v); }},
    {"LPR_Reader1", RequestKind::kControl,
     [](WebService& w, Value v) { return w.plateCommand(0, v); }},
    {"LPR_Reader2", RequestKind::kControl,
     [](WebService& w, Value v) { return w.plateCommand(1, v); }},
    {"tamper1", RequestKind::kControl,
     [](WebService& w, Value v) { return w.tamperCommand(0, v); }},
    {"tamper2", RequestKind::kControl,
     [](WebService& w, Value v) { return w.tamperCommand(1, v); }},
    // Echoed into the response before the replies (respond): text that
    // another site's page could plant, so only for those who may change
    // state. As a command it is unknown.
    {"name", RequestKind::kControl, [](WebService&, Value v) { return unknownParam("name", v); }},
};

const WebCommand* WebService::findCommand(const std::string& key) {
    for (const WebCommand& command : kCommands) {
        if (key == command.key)
            return &command;
    }
    return nullptr;
}

std::string WebService::processKey(const std::string& key, const std::string& value) {
    const WebCommand* command = findCommand(key);
    return command != nullptr ? command->run(*this, value) : unknownParam(key, value);
}

std::string WebService::unknownParam(const std::string& key, const std::string& value) {
    return "<response>Unknown param:" + xmlText(key) + "=" + xmlText(value) + "</response>\n";
}

std::string WebService::debugLevelCommand(const std::string& value) {
    if (!isNumber(value))
        return kInvalidParam;
    int level = 0;
    try {
        level = std::stoi(value, nullptr, 10);
    } catch (const std::out_of_range&) {
        return kInvalidParam;
    }
    logAt(2, "DEBUG_LEVEL = %d", level);
    if (level < 0)
        return "<response>Fail</response>\n";
    DebugLevel.store(level);
    saveSettings();
    return xmlElement("DEBUG_LEVEL", static_cast<int>(DebugLevel.load()));
}

bool WebService::saveSettings() {
    if (!saveConfig(osdp.configPath, DeviceSerial, DebugLevel.load(), osdp.wallTime().seconds))
        return false;
    MutexLock lock(osdp.mutex);
    osdp.saveRequired = false;
    return true;
}

std::string WebService::cardCommand(int reader, const std::string& value) {
    uint32_t card = 0;
    try {
        card = parseCardNumber(value);
    } catch (const std::logic_error&) {
        return kInvalidParam;
    }
    logAt(2, "CSN32LSB=0x%04X Reader=%d", card, reader + 1);
    osdp.injectCard(reader, card, CardSource::cardCommand, std::string(), requestArrival);
    return "OK";
}

std::string WebService::plateCommand(int reader, const std::string& value) {
    const std::optional<PlateCard> card = plateCard(value);
    if (!card) {
        logAt(1, "LPR_Reader%d refused: the plate is empty, blank or control characters only",
              reader + 1);
        return kInvalidParam;
    }
    logAt(2, "LPR_Reader%d SHA1 [%s], CardNo=%04X", reader + 1, card->digest.c_str(), card->card);
    logAt(2, "CSN32LSB=0x%04X Reader=%d", card->card, reader + 1);
    osdp.injectCard(reader, card->card, CardSource::plateCommand, card->plate, requestArrival);
    return card->digest.substr(card->digest.size() - 8);
}

std::string WebService::sha1Command(const std::string& value) {
    std::string text = withoutBlanks(value);
    for (char& c : text) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    const std::string digest = digestHex(text);
    return digest.substr(digest.size() - 8);
}

std::string WebService::tamperCommand(int reader, const std::string& value) {
    bool tampered = false;
    try {
        tampered = std::stoi(value, nullptr, 10) != 0;
    } catch (const std::logic_error&) {
        // A value that is no number clears the flag.
    }
    osdp.setTamper(reader, tampered);
    return "OK";
}

std::string WebService::infoCommand() {
    ProcStats stats;
    const int taskId = threadId();
    logAt(2, "Info %d", taskId);
    stats.readProcess(taskId);
    stats.readMemory();
    return "OK";
}
