// Stand-in for the camera parameter service: parameters come from a text file.
#include "platform/ax_parameter.h"

#include <cstdlib>
#include <string>

#include "platform/platform_error.h"

struct _AXParameter {
    std::string filePath;
};

namespace {

constexpr const char* kDefaultParameterFile = "/etc/kanzo_zul/parameters.conf";

std::string trimmed(const std::string& text) {
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// "Name=Value" lines; blank lines and lines starting with '#' are comments.
// The first line that names the parameter wins.
bool lookupParameter(const std::string& text, const std::string& name, std::string* value) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = trimmed(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == '#')
            continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos || trimmed(line.substr(0, equals)) != name)
            continue;
        *value = trimmed(line.substr(equals + 1));
        return true;
    }
    return false;
}

}  // namespace

// One file serves every application on this machine, so the name is not used.
extern "C" AXParameter* ax_parameter_new(const gchar* /*app_name*/, GError** /*error*/) {
    const char* path = getenv("ZUL_PARAMETER_FILE");
    // The file is read by every ax_parameter_get, so a missing file is reported
    // there, together with the parameter that was wanted.
    return new AXParameter{path != nullptr && path[0] != '\0' ? path : kDefaultParameterFile};
}

extern "C" gboolean ax_parameter_get(AXParameter* handle, const gchar* name, gchar** value,
                                     GError** error) {
    gchar* contents = nullptr;
    gsize length = 0;
    GError* readError = nullptr;
    if (!g_file_get_contents(handle->filePath.c_str(), &contents, &length, &readError)) {
        setPlatformError(error, "Cannot read parameter '%s': %s", name, readError->message);
        g_error_free(readError);
        return FALSE;
    }
    std::string text(contents, length);
    g_free(contents);

    std::string found;
    if (!lookupParameter(text, name, &found)) {
        setPlatformError(error, "Parameter '%s' not found in %s", name, handle->filePath.c_str());
        return FALSE;
    }
    *value = g_strdup(found.c_str());
    return TRUE;
}

extern "C" void ax_parameter_free(AXParameter* handle) {
    delete handle;
}
