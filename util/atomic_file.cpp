#include "util/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The six characters that mkstemp puts in place of "XXXXXX".
constexpr size_t kUniqueLength = 6;

bool fail(std::string* error, const char* what) {
    *error = std::string(what) + ": " + strerror(errno);
    return false;
}

bool writeAllBytes(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Directory part of path, with its slash; "." for a bare name.
std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

bool isTemporaryName(const std::string& name, const std::string& base) {
    if (name.size() != base.size() + 1 + kUniqueLength || name.compare(0, base.size(), base) != 0 ||
        name[base.size()] != '.')
        return false;
    for (size_t i = base.size() + 1; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')))
            return false;
    }
    return true;
}

}  // namespace

bool writeFileAtomically(const std::string& path, const std::string& text, mode_t mode,
                         std::string* error) {
    std::vector<char> temporary(path.begin(), path.end());
    const char suffix[] = ".XXXXXX";
    temporary.insert(temporary.end(), suffix, suffix + sizeof suffix);
    // mkstemp creates the file with mode 0600, owned by this process's user.
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return fail(error, "cannot create a temporary file");
    bool ok = writeAllBytes(fd, text) || fail(error, "cannot write");
    ok = ok && (fsync(fd) == 0 || fail(error, "cannot flush"));
    ok = ok && (fchmod(fd, mode) == 0 || fail(error, "cannot set the mode"));
    if (close(fd) != 0 && ok)
        ok = fail(error, "cannot close");
    ok = ok && (rename(temporary.data(), path.c_str()) == 0 || fail(error, "cannot rename"));
    if (!ok) {
        unlink(temporary.data());
        return false;
    }
    // The rename itself is only safe once the directory is on disk.
    const int dir = open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || fsync(dir) != 0)
        fail(error, "cannot flush the directory");
    if (dir >= 0)
        close(dir);
    return true;
}

int removeOrphanedTemporaries(const std::string& path) {
    const std::string directory = directoryOf(path);
    const std::string base = path.substr(path.rfind('/') + 1);
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr)
        return 0;
    int removed = 0;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        struct stat info;
        if (!isTemporaryName(name, base) ||
            fstatat(dirfd(dir), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode) || info.st_uid != geteuid())
            continue;
        if (unlinkat(dirfd(dir), name.c_str(), 0) == 0)
            ++removed;
    }
    closedir(dir);
    return removed;
}
