// Claims of one daemon per serial line and per FastCGI socket. A claim is a
// name in Linux's abstract socket namespace, bound by a socket: no file
// stands for it, so deleting or replacing a file cannot defeat it, and the
// kernel lets go of it when its descriptor is closed or the process ends,
// however it ends. The namespace is the network namespace's: a process in
// another one (a container with a network of its own) does not see the
// claims.
#pragma once

#include <string>

// Claims "kanzo_zul/" + name until the descriptor returned is closed. -1,
// with errno EADDRINUSE, when another holds it, or with the error of the
// socket call that failed. REQUIRES: name has at most 80 bytes.
int claimProcessName(const std::string& name);

// The claim name of a file path: a digest of the path made absolute, its
// directory through symbolic links (the file itself need not exist yet).
std::string pathClaimName(const std::string& kind, const std::string& path);
