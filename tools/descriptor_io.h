// Waiting writes and deadlines for programs that drive a serial line or a
// socket through plain descriptors: the controller tool and the black-box
// harness.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// Writes every byte to fd, waiting while a non-blocking descriptor is full.
// False, with errno set, when a write fails for any other reason.
bool writeAll(int fd, const uint8_t* data, size_t size);

// Milliseconds from now until the deadline, rounded up: 0 only once the
// deadline has passed.
int millisLeft(std::chrono::steady_clock::time_point deadline);
