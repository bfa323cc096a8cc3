#include "util/process_claim.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "util/sha1.h"

int claimProcessName(const std::string& name) {
    const std::string claim = "kanzo_zul/" + name;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // A leading zero byte puts the name into the abstract namespace.
    if (claim.size() + 1 > sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(address.sun_path + 1, claim.data(), claim.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const socklen_t length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + claim.size());
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

std::string pathClaimName(const std::string& kind, const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string base = path.substr(slash == std::string::npos ? 0 : slash + 1);
    char resolved[PATH_MAX];
    std::string absolute = path;
    if (realpath(directory.c_str(), resolved) != nullptr) {
        absolute = std::string(resolved) + "/" + base;
    } else if (path[0] != '/' && getcwd(resolved, sizeof resolved) != nullptr) {
        absolute = std::string(resolved) + "/" + path;
    }
    Sha1 digest;
    digest.update(absolute);
    return kind + "/" + digest.finalHex();
}
