// Error domain of the platform stand-ins (parameter service, serial port).
#pragma once

#include <glib.h>

// Domain of the GErrors that the stand-ins set; the code is always 0 and the
// message says what failed and where.
GQuark platformErrorQuark();

// Sets *error, when error is not null, to a platform error with this message.
// REQUIRES: error is null or points to a null GError*.
void setPlatformError(GError** error, const char* format, ...) G_GNUC_PRINTF(2, 3);
