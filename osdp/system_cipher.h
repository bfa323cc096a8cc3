// The cipher and random source of the running daemon and the controller tool:
// AES-128 from OpenSSL's libcrypto, random bytes from the kernel.
#pragma once

#include "osdp/secure_channel.h"

// Safe on any thread: each thread keeps its own OpenSSL context.
ScCipher systemCipher();
