// The key file: its lines, the files refused at start, and the atomic rewrite.
#include "app/key_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/golden.h"

namespace {

TEST(KeyFileTest, TextsParseAsTheirGoldenCasesSay) {
    expectTextsAsGolden("key-file-texts.txt", parseKeyFile, formatKeyFile);
}

TEST(KeyFileTest, KeysLiveOnlyInAPrivateRegularFile) {
    const std::string dir = testing::TempDir() + "kanzo_keys_" + std::to_string(getpid());
    const std::string path = dir + "/osdp-keys";
    std::filesystem::create_directories(dir);
    for (auto& [line, text] : goldenCases("key-file-refusals.txt")) {
        const std::string& kind = text['>'];
        if (kind == "foreign" && geteuid() != 0)
            continue;
        std::filesystem::remove_all(path);
        std::filesystem::remove(dir + "/target");
        const std::string file = kind == "symlink" ? dir + "/target" : path;
        if (kind == "directory")
            std::filesystem::create_directory(path);
        else if (kind == "fifo")
            mkfifo(path.c_str(), 0600);
        else
            std::ofstream(file) << "reader2 install" << (kind == "malformed" ? "\nreader1 x" : "");
        chmod(file.c_str(),
              kind.rfind("mode ", 0) == 0 ? std::stoi(kind.substr(5), nullptr, 8) : 0600);
        if (kind == "symlink")
            std::filesystem::create_symlink(file, path);
        ASSERT_TRUE(kind != "foreign" || chown(path.c_str(), geteuid() + 1, -1) == 0);
        std::string error;
        EXPECT_EQ(KeyFile(kind == "unreadable" ? "/proc/self/mem" : path).load(&error),
                  text['!'].empty())
            << line;
        EXPECT_EQ(error.rfind(text['!'], 0), 0u) << line << ": " << error;
    }

    KeyFile file(path);
    std::string error;
    ASSERT_TRUE(file.load(&error));
    const AesKey key = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    ASSERT_TRUE(file.storeKey(0, key));
    struct stat info {};
    ASSERT_EQ(0, stat(path.c_str(), &info));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    EXPECT_EQ(joined(text.str().substr(text.str().find('\n') + 1)),
              "reader1 secure 000102030405060708090A0B0C0D0E0F\nreader2 install");
    std::filesystem::remove_all(dir);
}

}  // namespace
