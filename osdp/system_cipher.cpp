#include "osdp/system_cipher.h"

#include <openssl/evp.h>
#include <sys/random.h>

#include <cerrno>
#include <memory>

#include "util/log.h"

namespace {

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// One AES-128 block through EVP. A context is made once per thread and only
// re-keyed per block, so a frame costs no allocation. Should OpenSSL fail, the
// block comes out as zeros: every secure channel value is checked by the far
// end, so the failure shows as a refused handshake or frame, never as data.
AesBlock aesBlock(const AesKey& key, const AesBlock& in, bool encrypt) {
    thread_local CipherContext context(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    AesBlock out{};
    int written = 0;
    const bool ok = context != nullptr &&
                    EVP_CipherInit_ex(context.get(), EVP_aes_128_ecb(), nullptr, key.data(),
                                      nullptr, encrypt ? 1 : 0) == 1 &&
                    EVP_CIPHER_CTX_set_padding(context.get(), 0) == 1 &&
                    EVP_CipherUpdate(context.get(), out.data(), &written, in.data(),
                                     static_cast<int>(in.size())) == 1 &&
                    written == static_cast<int>(out.size());
    if (!ok) {
        out.fill(0);
        logAt(1, "OpenSSL AES-128 failed");
    }
    return out;
}

bool kernelRandom(uint8_t* out, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t n = getrandom(out + done, count - done, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

ScCipher systemCipher() {
    ScCipher cipher;
    cipher.encrypt = [](const AesKey& key, const AesBlock& in) { return aesBlock(key, in, true); };
    cipher.decrypt = [](const AesKey& key, const AesBlock& in) { return aesBlock(key, in, false); };
    cipher.random = kernelRandom;
    return cipher;
}
