#include "osdp/osdp_peripheral.h"

#include <utility>

#include "osdp/reply_builder.h"
#include "util/log.h"

OsdpPeripheral::OsdpPeripheral(WallClock clock, MonotonicClock monotonic, ScCipher cipher)
    : journal(
          [clock] {
              const WallTime now = clock();
              return now.seconds * 1000000 + now.micros;
          },
          monotonic),
      clock_(std::move(clock)),
      monotonic_(std::move(monotonic)),
      cipher_(std::move(cipher)),
      readers_{{VirtualReader(0, line_, mutex, clock_, monotonic_, cipher_, journal),
                VirtualReader(1, line_, mutex, clock_, monotonic_, cipher_, journal)}} {}

// The line file's defaults are this device's.
static_assert(LineSettings{}.readerAddress[0] == kStartAddress[0] &&
                  LineSettings{}.readerAddress[1] == kStartAddress[1] &&
                  LineSettings{}.baud == kDefaultBaudRate,
              "one set of defaults");

void OsdpPeripheral::setCameraSerial(const std::string& cameraSerial) {
    for (int r = 0; r < kReaderCount; ++r)
        readers_[r].setSerialNumber(readerSerialNumber(cameraSerial, r));
}

void OsdpPeripheral::setSecurity(int reader, ScMode mode, const AesKey* key, KeyStore keyStore) {
    SecureChannel::KeyStore store;
    if (keyStore) {
        store = [keyStore, reader](const AesKey& newKey) { return keyStore(reader, newKey); };
    }
    readers_[reader].setSecurity(mode, key, std::move(store));
}

void OsdpPeripheral::setCardMaxAge(int64_t micros) {
    for (VirtualReader& reader : readers_)
        reader.setCardMaxAge(micros);
}

void OsdpPeripheral::setLineSettings(const LineSettings& settings) {
    MutexLock lock(mutex);
    line_ = settings;
}

LineSettings OsdpPeripheral::lineSettings() const {
    MutexLock lock(mutex);
    return line_;
}

int OsdpPeripheral::readerOf(const uint8_t* frame, size_t length) const {
    for (int r = 0; r < kReaderCount; ++r) {
        if (readers_[r].address() == frame[kAddressOffset])
            return r;
    }
    for (int r = 0; r < kReaderCount; ++r) {
        if (readers_[r].repeats(frame, length))
            return r;
    }
    return -1;
}

bool OsdpPeripheral::receiveByte(uint8_t b) {
    const int64_t now = monotonic_();
    // Time texts and dumps are only for the level-5 lines; skip them otherwise.
    const std::string time = logEnabled(5) ? timeText(clock_()) : std::string();
    if (!receiver_.receive(b, now, time))
        return false;
    VirtualReader& reader = readers_[receiver_.reader()];
    replyLen = reader.answer(receiver_.frame(), receiver_.frameLength(), receiver_.lastByteAt(),
                             replyBuf.data());
    lineMoved = reader.takeLineMove();
    {
        MutexLock lock(mutex);
        ++reqIn;
    }
    if (!time.empty())
        receiver_.traceFrame(time);
    return replyLen > 0;
}

void OsdpPeripheral::injectCard(int reader, uint32_t card, CardSource source,
                                const std::string& plate, std::optional<int64_t> arrived) {
    journal.received(source, reader, card, plate, arrived);
    readers_[reader].injectCard(card, arrived);
}

void OsdpPeripheral::setTamper(int reader, bool tampered) {
    readers_[reader].setTamper(tampered);
}

void OsdpPeripheral::setLastLpr(int reader, const std::string& plate) {
    readers_[reader].setLastLpr(plate);
}

void OsdpPeripheral::countReplyWritten() {
    MutexLock lock(mutex);
    ++reqOut;
}

PeripheralStatus OsdpPeripheral::status() const {
    PeripheralStatus status;
    for (int r = 0; r < kReaderCount; ++r) {
        ReaderStatus reader = readers_[r].status();
        status.readerAddress[r] = reader.address;
        status.lastCard[r] = reader.lastCard;
        status.tamper[r] = reader.tamper;
        status.lastLpr[r] = std::move(reader.lastLpr);
    }
    MutexLock lock(mutex);
    status.reqIn = reqIn;
    status.reqOut = reqOut;
    status.restartRequired = restartRequired;
    status.saveRequired = saveRequired;
    return status;
}

LineDiagnostics OsdpPeripheral::diagnostics() const {
    const int64_t now = monotonic_();
    LineDiagnostics line;
    static_cast<LineFigures&>(line) = receiver_.figures();
    line.baud = lineSettings().baud;
    const int64_t byteAt = receiver_.lastByteAt();
    // A byte may come between the clock read and the load: its age is 0.
    line.msSinceByte = byteAt == kNever ? -1 : std::max<int64_t>(now - byteAt, 0) / 1000;
    for (int r = 0; r < kReaderCount; ++r) {
        line.reader[r] = readers_[r].diagnostics(now);
        line.cards[r] = readers_[r].cards();
    }
    return line;
}
