#include "platform/platform_error.h"

#include <cstdarg>

GQuark platformErrorQuark() {
    return g_quark_from_static_string("kanzo-platform-error-quark");
}

void setPlatformError(GError** error, const char* format, ...) {
    if (error == nullptr)
        return;
    va_list args;
    va_start(args, format);
    *error = g_error_new_valist(platformErrorQuark(), kPlatformErrorFailed, format, args);
    va_end(args);
}

void setPlatformErrorCode(GError** error, PlatformErrorCode code, const char* format, ...) {
    if (error == nullptr)
        return;
    va_list args;
    va_start(args, format);
    *error = g_error_new_valist(platformErrorQuark(), code, format, args);
    va_end(args);
}
