// The query commands: one key/value pair each, answered with a reply text.
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

#include "app/config_file.h"
#include "util/log.h"
#include "util/sha1.h"
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

std::string WebService::processKey(const std::string& key, const std::string& value) {
    if (key == "DEBUG_LEVEL") {
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
        saveConfig(osdp);
        return xmlElement("DEBUG_LEVEL", static_cast<int>(DebugLevel.load()));
    }
    if (key == "info")
        return infoCommand();
    if (key == "getStatusXML")
        return statusDocument();
    if (key == "getDiagnosticsXML")
        return diagnosticsDocument();
    if (key == "page")
        return kStatusPage;
    if (key == "getConfigXML")
        return configDocument();
    if (key == "saveConfig") {
        return saveConfig(osdp) ? "<response>OK</response>" : "<response>Failed</response>";
    }
    if (key == "CSN32LSB_Reader1" || key == "CSN32LSB_Reader2") {
        const int reader = key == "CSN32LSB_Reader1" ? 0 : 1;
        uint32_t card = 0;
        try {
            card = parseCardNumber(value);
        } catch (const std::logic_error&) {
            return kInvalidParam;
        }
        logAt(2, "CSN32LSB=0x%04X Reader=%d", card, reader + 1);
        osdp.injectCard(reader, card);
        return "OK";
    }
    if (key == "LPR_Reader1" || key == "LPR_Reader2") {
        const int reader = key == "LPR_Reader1" ? 0 : 1;
        try {
            const std::string digest = digestHex(withoutBlanks(value));
            const uint32_t card = cardNumberFromDigest(digest);
            logAt(2,
                  reader == 0 ? "LPR_Reader1 SHA1 [%s], CardNo=%04X"
                              : "LPR_Reader2 SHA1 [%s], CardNo=%04X",
                  digest.c_str(), card);
            logAt(2, "CSN32LSB=0x%04X Reader=%d", card, reader + 1);
            osdp.injectCard(reader, card);
            return digest.substr(digest.size() - 8);
        } catch (const std::exception&) {
            return "Error";
        }
    }
    if (key == "sha1") {
        try {
            std::string text = withoutBlanks(value);
            for (char& c : text) {
                if (c >= 'a' && c <= 'z')
                    c = static_cast<char>(c - 'a' + 'A');
            }
            const std::string digest = digestHex(text);
            return digest.substr(digest.size() - 8);
        } catch (const std::exception&) {
            return "Error";
        }
    }
    if (key == "tamper1" || key == "tamper2") {
        bool tampered = false;
        try {
            tampered = std::stoi(value, nullptr, 10) != 0;
        } catch (const std::logic_error&) {
            // A value that is no number clears the flag.
        }
        osdp.setTamper(key == "tamper1" ? 0 : 1, tampered);
        return "OK";
    }
    return "<response>Unknown param:" + key + "=" + value + "</response>\n";
}

std::string WebService::infoCommand() {
    ProcStats stats;
    const int taskId = threadId();
    logAt(2, "Info %d", taskId);
    stats.readProcess(taskId);
    stats.readMemory();
    return "OK";
}
