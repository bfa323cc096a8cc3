#include "fuzz/fuzz_support.h"

#include <cstdio>

#include "app/log.h"

void quietVerboseLogging() {
    if (freopen("/dev/null", "w", stdout) == nullptr)
        return;
    DebugLevel = 5;
}
