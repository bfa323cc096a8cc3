// Counts and times that the main thread writes and any thread reads: the line
// figures of the receiver and of each reader. A single writer makes relaxed
// atomics enough, so a count costs a plain store where a lock would cost more
// than taking the byte.
#pragma once

#include <atomic>
#include <cstdint>

// The time of something that has not happened yet.
constexpr int64_t kNever = INT64_MIN;

// Adds one to a counter that only the calling thread writes.
inline void bump(std::atomic<uint32_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}
