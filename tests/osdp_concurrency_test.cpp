// The web worker injects cards while the main thread answers polls. Run under
// ThreadSanitizer this also proves that every shared field is locked.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "osdp_test_frames.h"

namespace {

uint32_t cardOf(const Bytes& r) {
    if (r.size() != 16 || r[5] != 0x50)
        return 0;
    return uint32_t(r[10]) << 24 | uint32_t(r[11]) << 16 | uint32_t(r[12]) << 8 | r[13];
}

TEST(Concurrency, InjectionsRacingPollsLoseNoCardAndSendNoneTwice) {
    constexpr uint32_t kCards = 4000;
    OsdpPeripheral osdp;
    std::atomic<uint32_t> lastSeen[2] = {{0}, {0}};
    std::atomic<bool> injecting{true};

    // Cards 1..kCards alternate between the readers. Every tenth card waits
    // until it has been collected, so that many cards go out while others are
    // stored during a poll.
    std::thread worker([&] {
        uint32_t answered[2] = {0, 0};
        for (uint32_t card = 1; card <= kCards; ++card) {
            const int reader = card % 2;
            osdp.injectCard(reader, card);
            // The status page reads the line figures while polls are answered.
            const uint32_t now = osdp.diagnostics().reader[reader].framesAnswered;
            EXPECT_GE(now, answered[reader]);
            answered[reader] = now;
            if (card % 10 == 0) {
                while (lastSeen[reader].load() < card)
                    std::this_thread::yield();
            }
        }
        injecting = false;
    });

    std::vector<uint32_t> received[2];
    uint32_t polls = 0;
    uint8_t sequence = 0;
    auto pollBoth = [&] {
        ++polls;
        for (int reader = 0; reader < 2; ++reader) {
            sequence = sequence % 3 + 1;
            const uint32_t card = cardOf(sendFrame(
                osdp, commandFrame(static_cast<uint8_t>(0x0A + reader), 0x04 | sequence, 0x60)));
            if (card != 0) {
                received[reader].push_back(card);
                lastSeen[reader] = card;
            }
        }
    };
    while (injecting)
        pollBoth();
    pollBoth();
    worker.join();
    EXPECT_EQ(osdp.diagnostics().reader[0].framesAnswered, polls);
    EXPECT_EQ(osdp.diagnostics().reader[1].framesAnswered, polls);

    for (int reader = 0; reader < 2; ++reader) {
        ASSERT_FALSE(received[reader].empty());
        for (size_t i = 0; i < received[reader].size(); ++i) {
            EXPECT_EQ(received[reader][i] % 2, static_cast<uint32_t>(reader));
            // Strictly rising: nothing sent twice, nothing stale after a newer card.
            if (i > 0) {
                EXPECT_GT(received[reader][i], received[reader][i - 1]);
            }
        }
        // The last card offered to each reader is never lost.
        EXPECT_EQ(received[reader].back(), kCards - 1 + static_cast<uint32_t>(reader == 0));
    }
    // Every card that was waited for arrived.
    for (uint32_t card = 10; card <= kCards; card += 10) {
        const auto& list = received[card % 2];
        EXPECT_TRUE(std::binary_search(list.begin(), list.end(), card)) << card;
    }
}

}  // namespace
