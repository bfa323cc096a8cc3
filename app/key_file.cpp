#include "app/key_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "util/log.h"

namespace {

std::string systemError(const char* what) {
    return std::string(what) + ": " + strerror(errno);
}

bool writeAllBytes(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool writeAtomically(const std::string& path, const std::string& text, std::string* error) {
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::vector<char> temporary(path.begin(), path.end());
    const char suffix[] = ".XXXXXX";
    temporary.insert(temporary.end(), suffix, suffix + sizeof suffix);
    // mkstemp creates the file with mode 0600, owned by this process's user.
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = systemError("cannot create a temporary file");
        return false;
    }
    bool ok = writeAllBytes(fd, text);
    if (!ok)
        *error = systemError("cannot write");
    if (ok && fsync(fd) != 0) {
        *error = systemError("cannot flush");
        ok = false;
    }
    if (close(fd) != 0 && ok) {
        *error = systemError("cannot close");
        ok = false;
    }
    if (ok && rename(temporary.data(), path.c_str()) != 0) {
        *error = systemError("cannot rename");
        ok = false;
    }
    if (!ok) {
        unlink(temporary.data());
        return false;
    }
    // The rename itself is only safe once the directory is on disk.
    const int dir = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || fsync(dir) != 0) {
        *error = systemError("cannot flush the directory");
        ok = false;
    }
    if (dir >= 0)
        close(dir);
    return ok;
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
        std::istringstream fields(line);
        std::string reader, mode, key, extra;
        fields >> reader >> mode >> key >> extra;
        if (reader.empty() || reader[0] == '#')
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
            char hex[33];
            for (size_t i = 0; i < keys[r].key.size(); ++i)
                snprintf(hex + 2 * i, 3, "%02X", keys[r].key[i]);
            text += std::string(" ") + hex;
        }
        text += "\n";
    }
    return text;
}

bool KeyFile::load(std::string* error) {
    keys_ = ReaderKeys{};
    const int fd = open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
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
    if (!writeAtomically(path_, formatKeyFile(next), &error)) {
        logAt(1, "Key file %s not written, reader %d keeps its key: %s", path_.c_str(), reader + 1,
              error.c_str());
        return false;
    }
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
