// What the fuzz targets share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// Ends the run, for the fuzzer to report the input, unless condition holds.
inline void require(bool condition) {
    if (!condition)
        abort();
}

// Raises DebugLevel to 5 so that every log line is formatted, and sends
// standard output to /dev/null so that the run is not slowed by printing.
void quietVerboseLogging();

class WebService;

// The web targets' service, logging as above, on an engine of its own whose
// configuration file is a scratch file.
WebService& fuzzedWebService();
