#include "osdp/journal.h"

#include <algorithm>
#include <utility>

Journal::Journal(Micros wall, Micros monotonic)
    : wall_(std::move(wall)), monotonic_(std::move(monotonic)) {}

void Journal::received(CardSource source, int reader, uint32_t card, const std::string& plate,
                       std::optional<int64_t> arrived) {
    const int64_t now = monotonic_();
    const int64_t at = std::min(arrived.value_or(INT64_MAX), now);
    const int64_t wall = wall_() - (now - at);
    MutexLock lock(mutex_);
    JournalEntry& entry = ring_[nextId_ % kCapacity];
    entry = JournalEntry();
    entry.id = nextId_++;
    entry.source = source;
    entry.reader = static_cast<uint8_t>(reader);
    entry.card = card;
    entry.plate = plate;
    entry.arrivedWall = wall;
    entry.arrivedMono = at;
    entry.fateMono = now;
    ++counts_.received[reader][static_cast<int>(source)];
}

JournalEntry* Journal::find(int reader, uint32_t card, std::initializer_list<CardFate> fates) {
    const uint32_t oldest = nextId_ > kCapacity ? nextId_ - kCapacity : 1;
    for (uint32_t id = nextId_ - 1; id >= oldest && id > 0; --id) {
        JournalEntry& entry = ring_[id % kCapacity];
        if (entry.reader == reader && entry.card == card &&
            std::find(fates.begin(), fates.end(), entry.fate) != fates.end())
            return &entry;
    }
    return nullptr;
}

bool Journal::settle(JournalEntry* entry, CardFate fate) {
    if (entry == nullptr)
        return false;
    entry->fate = fate;
    entry->fateMono = monotonic_();
    return true;
}

void Journal::queued(int reader, uint32_t card) {
    MutexLock lock(mutex_);
    settle(find(reader, card, {CardFate::received}), CardFate::queued);
}

void Journal::dropped(int reader, uint32_t card, DropReason reason) {
    MutexLock lock(mutex_);
    // A card that expired or was pushed out waited first, perhaps again
    // after a new session.
    JournalEntry* entry =
        find(reader, card, {CardFate::received, CardFate::queued, CardFate::offeredAgain});
    if (settle(entry, CardFate::dropped))
        entry->dropReason = reason;
    ++counts_.dropped[reader][static_cast<int>(reason)];
}

void Journal::delivered(int reader, uint32_t card, bool secure) {
    MutexLock lock(mutex_);
    JournalEntry* entry =
        find(reader, card, {CardFate::queued, CardFate::offeredAgain, CardFate::received});
    if (settle(entry, CardFate::delivered)) {
        entry->secure = secure;
        entry->deliveredMono = entry->fateMono;
        lastDelivered_[reader] = entry->id;
    }
    ++(secure ? counts_.deliveredSecure : counts_.deliveredPlain)[reader];
}

void Journal::confirmed(int reader, uint32_t card) {
    MutexLock lock(mutex_);
    settle(find(reader, card, {CardFate::delivered}), CardFate::confirmed);
    ++counts_.confirmed[reader];
}

void Journal::offeredAgain(int reader, uint32_t card) {
    MutexLock lock(mutex_);
    JournalEntry* entry = find(reader, card, {CardFate::delivered});
    if (settle(entry, CardFate::offeredAgain) && entry->offeredAgain < UINT8_MAX)
        ++entry->offeredAgain;
    ++counts_.offeredAgain[reader];
}

void Journal::feedback(int reader, uint8_t command, const uint8_t* data, size_t length) {
    const int64_t now = monotonic_();
    MutexLock lock(mutex_);
    const uint32_t id = lastDelivered_[reader];
    JournalEntry& entry = ring_[id % kCapacity];
    const bool attributed =
        id != 0 && entry.id == id && now - entry.deliveredMono <= kFeedbackWindowMicros;
    const size_t room = attributed ? JournalEntry::kFeedbackKept - entry.feedbackCount : 0;
    FeedbackRecord scratch;
    FeedbackRecord* out = room > 0 ? &entry.feedback[entry.feedbackCount] : &scratch;
    const size_t count = decodeFeedback(command, data, length, out, room > 0 ? room : 1);
    counts_.feedback[reader][static_cast<int>(out->kind)] += count;
    if (!attributed)
        return;
    const size_t kept = std::min(count, room);
    for (size_t i = 0; i < kept; ++i)
        out[i].msAfterDelivery = static_cast<int32_t>((now - entry.deliveredMono) / 1000);
    entry.feedbackCount = static_cast<uint8_t>(entry.feedbackCount + kept);
    entry.feedbackLost =
        static_cast<uint8_t>(std::min<size_t>(UINT8_MAX, entry.feedbackLost + count - kept));
}

std::vector<JournalEntry> Journal::latest(size_t count) const {
    MutexLock lock(mutex_);
    std::vector<JournalEntry> out;
    const size_t held = std::min<size_t>(nextId_ - 1, kCapacity);
    out.reserve(std::min(count, held));
    for (size_t i = 0; i < std::min(count, held); ++i)
        out.push_back(ring_[(nextId_ - 1 - i) % kCapacity]);
    return out;
}

JournalCounts Journal::counts() const {
    MutexLock lock(mutex_);
    return counts_;
}
