// Process-wide values that several modules read.
#pragma once

#include <string>

// Camera serial number, read once at start-up before the web worker exists and
// not written afterwards, so both threads may read it without a lock.
extern std::string DeviceSerial;
