#include "app/key_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "util/atomic_file.h"
#include "util/hex.h"
#include "util/log.h"

namespace {

std::string systemError(const char* what) {
    return std::string(what) + ": " + strerror(errno);
}

}  // namespace

std::string keyFilePath() {
    const char* setting = getenv("ZUL_KEY_FILE");
    return setting != nullptr && *setting != '\0' ? setting : kDefaultKeyFilePath;
}

const char* modeName(ScMode mode) {
    switch (mode) {
        case ScMode::plain:
            return "plain";
        case ScMode::secure:
            return "secure";
        case ScMode::install:
            return "install";
    }
    return "?";
}

bool parseKeyFile(const std::string& text, ReaderKeys* keys, std::string* error) {
    ReaderKeys parsed;
    std::array<bool, kReaderCount> seen{};
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        // "#" starts a comment, at the start of a line or after its fields;
        // no key holds one.
        std::istringstream fields(line.substr(0, line.find('#')));
        std::string reader, mode, key, extra;
        fields >> reader >> mode >> key >> extra;
        if (reader.empty())
            continue;
        auto fail = [&](const char* what) {
            *error = "line " + std::to_string(number) + ": " + what;
            return false;
        };
        const int index = reader == "reader1" ? 0 : reader == "reader2" ? 1 : -1;
        if (index < 0)
            return fail("unknown reader (reader1 or reader2)");
        if (seen[index])
            return fail("reader given twice");
        seen[index] = true;
        ReaderKey& entry = parsed[index];
        if (mode == "plain") {
            entry.mode = ScMode::plain;
        } else if (mode == "secure") {
            entry.mode = ScMode::secure;
        } else if (mode == "install") {
            entry.mode = ScMode::install;
        } else {
            return fail("unknown mode (plain, secure or install)");
        }
        if (!extra.empty())
            return fail("too many fields");
        if (!key.empty()) {
            if (entry.mode == ScMode::plain)
                return fail("plain mode takes no key");
            if (!parseHexKey(key, &entry.key))
                return fail("the key is not 32 hexadecimal digits");
            entry.hasKey = true;
        } else if (entry.mode == ScMode::secure) {
            return fail("secure mode needs a key");
        }
    }
    *keys = parsed;
    return true;
}

std::string formatKeyFile(const ReaderKeys& keys) {
    std::string text =
        "# kanzo_zul OSDP Secure Channel: reader1|reader2 plain|secure|install [key]\n";
    for (int r = 0; r < kReaderCount; ++r) {
        text += "reader" + std::to_string(r + 1) + " " + modeName(keys[r].mode);
        if (keys[r].hasKey) {
            text += " " + hexEncode(keys[r].key.data(), keys[r].key.size());
        }
        text += "\n";
    }
    return text;
}

bool KeyFile::load(std::string* error) {
    keys_ = ReaderKeys{};
    // Without waiting: a FIFO or a device in its place must not hold the
    // start, and is refused below.
    const int fd = open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        *error = systemError("cannot open");
        return false;
    }
    struct stat info;
    std::string text;
    bool ok = fstat(fd, &info) == 0;
    if (!ok) {
        *error = systemError("cannot inspect");
    } else if (!S_ISREG(info.st_mode)) {
        *error = "not a regular file";
        ok = false;
    } else if (info.st_uid != geteuid()) {
        *error = "not owned by the daemon's user";
        ok = false;
    } else if ((info.st_mode & 077) != 0) {
        *error = "group or others have access to it (it must be mode 0600)";
        ok = false;
    } else {
        char buffer[4096];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<size_t>(n));
        if (n < 0) {
            *error = systemError("cannot read");
            ok = false;
        }
    }
    close(fd);
    return ok && parseKeyFile(text, &keys_, error);
}

bool KeyFile::storeKey(int reader, const AesKey& key) {
    ReaderKeys next = keys_;
    next[reader] = ReaderKey{ScMode::secure, true, key};
    std::string error;
    if (!writeFileAtomically(path_, formatKeyFile(next), 0600, &error)) {
        logAt(1, "Key file %s not written, reader %d keeps its key: %s", path_.c_str(), reader + 1,
              error.c_str());
        return false;
    }
    // Once renamed, the file holds the new key whatever the directory flush
    // did, and the reader takes it too, so that memory and file agree.
    if (!error.empty())
        logAt(1, "Key file %s: %s", path_.c_str(), error.c_str());
    keys_ = next;
    logAt(1, "Key file %s: reader %d has a new key", path_.c_str(), reader + 1);
    return true;
}

void KeyFile::applyTo(OsdpPeripheral& osdp) {
    for (int r = 0; r < kReaderCount; ++r) {
        const ReaderKey& entry = keys_[r];
        osdp.setSecurity(r, entry.mode, entry.hasKey ? &entry.key : nullptr,
                         [this](int reader, const AesKey& key) { return storeKey(reader, key); });
    }
}
