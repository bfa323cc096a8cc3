// The key file: each reader's Secure Channel mode and base key, read once at
// start and rewritten when a controller sets a new key. One line per reader:
//
//   # comment
//   reader1 secure 000102030405060708090A0B0C0D0E0F   # the gate's panel
//   reader2 install
//
// Modes: plain (no key), secure (key required), install (key optional; the
// default key SCBK-D is accepted as well until a controller sets a key). A
// reader without a line is plain. Keys are 32 hexadecimal digits.
#pragma once

#include <array>
#include <string>

#include "osdp/osdp_peripheral.h"

// Used when ZUL_KEY_FILE is not set: the daemon's state directory.
constexpr const char kDefaultKeyFilePath[] = "/var/lib/kanzo_zul/osdp-keys";

struct ReaderKey {
    ScMode mode = ScMode::plain;
    bool hasKey = false;
    AesKey key{};
};
using ReaderKeys = std::array<ReaderKey, kReaderCount>;

// ZUL_KEY_FILE, or the default path.
std::string keyFilePath();

// False with *error naming the line and the fault, never the line's text.
bool parseKeyFile(const std::string& text, ReaderKeys* keys, std::string* error);
std::string formatKeyFile(const ReaderKeys& keys);
const char* modeName(ScMode mode);

class KeyFile {
  public:
    explicit KeyFile(std::string path) : path_(std::move(path)) {}
    KeyFile(const KeyFile&) = delete;
    KeyFile& operator=(const KeyFile&) = delete;

    // Reads the file; a missing file leaves both readers plain. Refused, with
    // *error saying why: a file that group or others may access, that is not
    // owned by this process's user or is not a regular file (never waited
    // on: a FIFO is refused at once), that cannot be read to its end, or a
    // malformed one. The temporary files of a rewrite killed before its rename
    // are the start's to remove (removeOrphanedTemporaries).
    bool load(std::string* error);

    // Rewrites the file with the reader secure under key (writeFileAtomically,
    // mode 0600). False, logged, with the old file and contents kept, when the
    // new file is not in place. Once it is, the reader takes the key even if
    // the directory flush failed (logged), so that memory and file agree.
    // REQUIRES: reader is 0 or 1.
    bool storeKey(int reader, const AesKey& key);

    const ReaderKeys& keys() const { return keys_; }
    const std::string& path() const { return path_; }

    // Gives each reader of osdp its mode and key, with storeKey to persist a
    // key that a controller sets. REQUIRES: this outlives osdp's use of it.
    void applyTo(OsdpPeripheral& osdp);

  private:
    const std::string path_;
    ReaderKeys keys_;
};
