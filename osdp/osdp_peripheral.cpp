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
      readers_{{VirtualReader(0, kStartAddress[0], mutex, clock_, monotonic_, cipher_, journal),
                VirtualReader(1, kStartAddress[1], mutex, clock_, monotonic_, cipher_, journal)}} {}

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

int OsdpPeripheral::readerAt(uint8_t address) const {
    for (int r = 0; r < kReaderCount; ++r) {
        if (readers_[r].address() == address)
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
    replyLen = readers_[receiver_.reader()].answer(receiver_.frame(), receiver_.frameLength(),
                                                   receiver_.lastByteAt(), replyBuf.data());
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
    const int64_t byteAt = receiver_.lastByteAt();
    // A byte may come between the clock read and the load: its age is 0.
    line.msSinceByte = byteAt == kNever ? -1 : std::max<int64_t>(now - byteAt, 0) / 1000;
    for (int r = 0; r < kReaderCount; ++r) {
        line.reader[r] = readers_[r].diagnostics(now);
        line.cards[r] = readers_[r].cards();
    }
    return line;
}
