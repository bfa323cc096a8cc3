// The stand-in parameter service: values from a "Name=Value" file. A missing
// parameter or file is run through the daemon's start-up in the black-box
// lifecycle tests.
#include <glib.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "gtest/gtest.h"
#include "platform/ax_parameter.h"

namespace {

std::string parameter(const char* name) {
    GError* error = nullptr;
    AXParameter* handle = ax_parameter_new("kanzo_zul", &error);
    EXPECT_NE(nullptr, handle);
    gchar* value = nullptr;
    EXPECT_TRUE(ax_parameter_get(handle, name, &value, &error)) << name;
    std::string result = value != nullptr ? value : "";
    g_free(value);
    g_clear_error(&error);
    ax_parameter_free(handle);
    return result;
}

TEST(ParameterFileTest, FindsTheNamedParameterAmongCommentsAndBlanks) {
    const std::string path = ::testing::TempDir() + "kanzo_param_" + std::to_string(getpid());
    std::ofstream(path) << "# camera parameters\n\n"
                           "Properties.System.Model = M3106\r\n"
                           "  Properties.System.SerialNumber=ACCC8E012345  \r\n"
                           "Properties.System.SerialNumber=SECOND\n"
                           "Network.Line=a=b\n";
    setenv("ZUL_PARAMETER_FILE", path.c_str(), 1);

    EXPECT_EQ("ACCC8E012345", parameter("Properties.System.SerialNumber"));
    EXPECT_EQ("M3106", parameter("Properties.System.Model"));
    // Only the first '=' separates name and value.
    EXPECT_EQ("a=b", parameter("Network.Line"));

    unsetenv("ZUL_PARAMETER_FILE");
    unlink(path.c_str());
}

}  // namespace
