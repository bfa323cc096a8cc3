// Error domain of the platform stand-ins (parameter service, serial port).
#pragma once

#include <glib.h>

// Domain of the GErrors that the stand-ins set; the message says what failed
// and where.
GQuark platformErrorQuark();

// Codes of the domain: busy is a device that another process holds.
enum PlatformErrorCode { kPlatformErrorFailed = 0, kPlatformErrorBusy = 1 };

// Sets *error, when error is not null, to a platform error with this message
// (code failed). REQUIRES: error is null or points to a null GError*.
void setPlatformError(GError** error, const char* format, ...) G_GNUC_PRINTF(2, 3);
// The same with the code given.
void setPlatformErrorCode(GError** error, PlatformErrorCode code, const char* format, ...)
    G_GNUC_PRINTF(3, 4);
