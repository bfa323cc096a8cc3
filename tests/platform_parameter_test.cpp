// The stand-in parameter service: values from a "Name=Value" file.
#include <glib.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/ax_parameter.h"

namespace {

using ::testing::HasSubstr;

class ParameterFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kanzo_param.XXXXXX";
        int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0);
        close(fd);
        path = pattern;
        setenv("ZUL_PARAMETER_FILE", path.c_str(), 1);
    }
    void TearDown() override {
        unlink(path.c_str());
        unsetenv("ZUL_PARAMETER_FILE");
    }

    void writeFile(const std::string& text) {
        FILE* file = fopen(path.c_str(), "w");
        ASSERT_NE(nullptr, file);
        fputs(text.c_str(), file);
        fclose(file);
    }

    // The value, or the error message prefixed with "error: ".
    std::string get(const char* name) {
        GError* error = nullptr;
        AXParameter* handle = ax_parameter_new("kanzo_zul", &error);
        EXPECT_NE(nullptr, handle);
        gchar* value = nullptr;
        std::string result;
        if (ax_parameter_get(handle, name, &value, &error)) {
            EXPECT_EQ(nullptr, error);
            result = value;
            g_free(value);
        } else {
            EXPECT_NE(nullptr, error);
            result = std::string("error: ") + (error != nullptr ? error->message : "");
            g_clear_error(&error);
        }
        ax_parameter_free(handle);
        return result;
    }

    std::string path;
};

TEST_F(ParameterFileTest, FindsTheNamedParameterAmongCommentsAndBlanks) {
    writeFile(
        "# camera parameters\n\n"
        "Properties.System.Model = M3106\r\n"
        "  Properties.System.SerialNumber=ACCC8E012345  \r\n"
        "Properties.System.SerialNumber=SECOND\n"
        "Network.Line=a=b\n");

    EXPECT_EQ("ACCC8E012345", get("Properties.System.SerialNumber"));
    EXPECT_EQ("M3106", get("Properties.System.Model"));
    // Only the first '=' separates name and value.
    EXPECT_EQ("a=b", get("Network.Line"));
}

TEST_F(ParameterFileTest, MissingParameterIsAnErrorNamingParameterAndFile) {
    writeFile("Properties.System.SerialNumberX=1\n# Properties.System.SerialNumber=2\n");

    std::string result = get("Properties.System.SerialNumber");

    EXPECT_THAT(result, HasSubstr("error: "));
    EXPECT_THAT(result, HasSubstr("'Properties.System.SerialNumber'"));
    EXPECT_THAT(result, HasSubstr(path));
}

TEST_F(ParameterFileTest, MissingFileIsAnErrorNamingParameterAndFile) {
    unlink(path.c_str());

    std::string result = get("Properties.System.SerialNumber");

    EXPECT_THAT(result, HasSubstr("error: "));
    EXPECT_THAT(result, HasSubstr("'Properties.System.SerialNumber'"));
    EXPECT_THAT(result, HasSubstr(path));
}

}  // namespace
