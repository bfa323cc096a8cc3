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
    *error = g_error_new_valist(platformErrorQuark(), 0, format, args);
    va_end(args);
}
