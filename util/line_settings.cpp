#include "util/line_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "util/atomic_file.h"

namespace {

// The file's settings, one definition for reader and writer, in the order
// the writer lays them out.
struct Setting {
    const char* name;
    const char* rule;  // what a value must be, for the fault
    bool (*valid)(uint32_t value);
};

constexpr Setting kSettings[] = {
    {"reader1", "an address from 0 to 126", isReaderAddress},
    {"reader2", "an address from 0 to 126", isReaderAddress},
    {"baud", "9600, 19200, 38400, 57600 or 115200", isLineBaud},
};
constexpr size_t kSettingCount = sizeof kSettings / sizeof kSettings[0];

uint32_t valueOf(const LineSettings& settings, size_t setting) {
    return setting < 2 ? settings.readerAddress[setting] : settings.baud;
}

// REQUIRES: kSettings[setting].valid(value).
void setValue(LineSettings* settings, size_t setting, uint32_t value) {
    if (setting < 2)
        settings->readerAddress[setting] = static_cast<uint8_t>(value);
    else
        settings->baud = value;
}

// A decimal number of digits only (leading zeros allowed, no sign, no "0x");
// false for anything else and for numbers past a million, which no setting
// takes.
bool parseDecimal(const std::string& word, uint32_t* value) {
    if (word.empty())
        return false;
    uint32_t number = 0;
    for (const char c : word) {
        if (c < '0' || c > '9' || number > 1000000)
            return false;
        number = number * 10 + static_cast<uint32_t>(c - '0');
    }
    *value = number;
    return true;
}

std::string lineFault(int line, const std::string& fault) {
    return "line " + std::to_string(line) + ": " + fault;
}

std::string systemError(const char* what) {
    return std::string(what) + ": " + strerror(errno);
}

// The whole text of the regular file open at fd; false with *error otherwise.
bool readRegularFile(int fd, std::string* text, std::string* error) {
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        *error = systemError("cannot inspect");
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        *error = "not a regular file";
        return false;
    }
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0)
            text->append(buffer, static_cast<size_t>(n));
    }
    if (n < 0) {
        *error = systemError("cannot read");
        return false;
    }
    return true;
}

}  // namespace

bool isReaderAddress(uint32_t address) {
    return address <= 126;
}

bool isLineBaud(uint32_t baud) {
    return baud == 9600 || baud == 19200 || baud == 38400 || baud == 57600 || baud == 115200;
}

bool lineSettingsUsable(const LineSettings& settings) {
    return isReaderAddress(settings.readerAddress[0]) &&
           isReaderAddress(settings.readerAddress[1]) &&
           settings.readerAddress[0] != settings.readerAddress[1] && isLineBaud(settings.baud);
}

std::string lineFilePath() {
    const char* setting = getenv("ZUL_LINE_FILE");
    return setting != nullptr && *setting != '\0' ? setting : kDefaultLineFilePath;
}

bool parseLineSettings(const std::string& text, LineSettings* settings, std::string* error) {
    LineSettings parsed;
    int givenOn[kSettingCount] = {};  // the line of each setting; 0: not given
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string name, value, extra;
        words >> name >> value >> extra;
        if (name.empty())
            continue;
        const Setting* setting = std::find_if(std::begin(kSettings), std::end(kSettings),
                                              [&](const Setting& s) { return name == s.name; });
        if (setting == std::end(kSettings)) {
            *error = lineFault(number, "unknown setting (reader1, reader2 or baud)");
            return false;
        }
        const size_t index = static_cast<size_t>(setting - kSettings);
        uint32_t parsedValue = 0;
        std::string fault;
        if (givenOn[index] != 0)
            fault = name + " given twice";
        else if (value.empty())
            fault = name + " needs a value";
        else if (!extra.empty())
            fault = "too many fields";
        else if (!parseDecimal(value, &parsedValue) || !setting->valid(parsedValue))
            fault = name + " must be " + setting->rule;
        if (!fault.empty()) {
            *error = lineFault(number, fault);
            return false;
        }
        setValue(&parsed, index, parsedValue);
        givenOn[index] = number;
    }
    if (parsed.readerAddress[0] == parsed.readerAddress[1]) {
        // The defaults differ, so at least one of the two was given: name the later.
        *error = lineFault(
            std::max(givenOn[0], givenOn[1]),
            "reader1 and reader2 cannot share address " + std::to_string(parsed.readerAddress[0]));
        return false;
    }
    *settings = parsed;
    return true;
}

std::string formatLineSettings(const LineSettings& settings) {
    std::string text = "# kanzo_zul OSDP line, rewritten when the panel moves a reader\n";
    for (size_t i = 0; i < kSettingCount; ++i)
        text += std::string(kSettings[i].name) + " " + std::to_string(valueOf(settings, i)) + "\n";
    return text;
}

bool loadLineSettings(const std::string& path, LineSettings* settings, std::string* error) {
    // Without O_NONBLOCK, opening a FIFO would wait for a writer for ever.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            *settings = LineSettings{};
            return true;
        }
        *error = systemError("cannot open");
        return false;
    }
    std::string text;
    const bool read = readRegularFile(fd, &text, error);
    close(fd);
    return read && parseLineSettings(text, settings, error);
}

bool storeLineSettings(const std::string& path, const LineSettings& settings, std::string* error) {
    return writeFileAtomically(path, formatLineSettings(settings), 0644, error);
}
