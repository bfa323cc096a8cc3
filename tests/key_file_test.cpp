// The key file: its lines, the rules that refuse a file at start, and never a
// key in an error.
#include "app/key_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

const char kKeyText[] = "000102030405060708090A0B0C0D0E0F";

TEST(KeyFileText, LinesGiveEachReaderItsModeAndKey) {
    const struct {
        const char* text;
        ScMode mode1;
        ScMode mode2;
        bool key2;
    } good[] = {
        {"", ScMode::plain, ScMode::plain, false},
        {"# comment\n\nreader2 secure 000102030405060708090a0b0c0d0e0f\n", ScMode::plain,
         ScMode::secure, true},
        {"reader1 install\n  reader2\tinstall 000102030405060708090A0B0C0D0E0F  \n",
         ScMode::install, ScMode::install, true},
        {"reader1 plain\nreader2 plain", ScMode::plain, ScMode::plain, false},
    };
    for (const auto& row : good) {
        ReaderKeys keys;
        std::string error;
        ASSERT_TRUE(parseKeyFile(row.text, &keys, &error)) << row.text << error;
        EXPECT_EQ(keys[0].mode, row.mode1) << row.text;
        EXPECT_EQ(keys[1].mode, row.mode2) << row.text;
        EXPECT_EQ(keys[1].hasKey, row.key2) << row.text;
        ReaderKeys again;
        ASSERT_TRUE(parseKeyFile(formatKeyFile(keys), &again, &error));
        EXPECT_EQ(again[1].key, keys[1].key);
        EXPECT_EQ(again[0].mode, keys[0].mode);
    }

    const struct {
        const char* text;
        const char* error;
    } bad[] = {
        {"reader3 plain\n", "line 1: unknown reader"},
        {"\nreader1 secure\n", "line 2: secure mode needs a key"},
        {"reader1 secure 000102030405060708090A0B0C0D0E\n", "line 1: the key is not 32"},
        {"reader1 secure 000102030405060708090A0B0C0D0EXX\n", "line 1: the key is not 32"},
        {"reader1 plain 000102030405060708090A0B0C0D0E0F\n", "line 1: plain mode takes no key"},
        {"reader1 secure 000102030405060708090A0B0C0D0E0F x\n", "line 1: too many fields"},
        {"reader1 safe\n", "line 1: unknown mode"},
        {"reader1 plain\nreader1 install\n", "line 2: reader given twice"},
    };
    for (const auto& row : bad) {
        ReaderKeys keys;
        std::string error;
        EXPECT_FALSE(parseKeyFile(row.text, &keys, &error)) << row.text;
        EXPECT_EQ(error.rfind(row.error, 0), 0u) << row.text << " -> " << error;
        EXPECT_EQ(error.find("0A0B0C0D0E"), std::string::npos) << error;
    }
}

class KeyFileLoad : public testing::Test {
  protected:
    KeyFileLoad() { std::filesystem::create_directories(dir); }
    ~KeyFileLoad() override { std::filesystem::remove_all(dir); }

    void write(const std::string& text, mode_t mode) {
        std::ofstream(path) << text;
        chmod(path.c_str(), mode);
    }

    const std::string dir = testing::TempDir() + "kanzo_keys_" + std::to_string(getpid());
    const std::string path = dir + "/osdp-keys";
};

TEST_F(KeyFileLoad, FileOthersMayReadOrThatIsNotOursIsRefused) {
    const std::string text = std::string("reader1 secure ") + kKeyText + "\n";
    const struct {
        mode_t mode;
        bool foreignOwner;
        bool symlink;
        const char* error;
    } cases[] = {
        {0600, false, false, nullptr},
        {0640, false, false, "group or others have access"},
        {0604, false, false, "group or others have access"},
        {0620, false, false, "group or others have access"},
        {0600, true, false, "not owned by the daemon's user"},
        {0600, false, true, "cannot open"},
    };
    for (const auto& c : cases) {
        if (c.foreignOwner && geteuid() != 0)
            continue;  // only root can give the file away
        std::filesystem::remove(path);
        std::filesystem::remove(path + ".target");
        if (c.symlink) {
            std::ofstream(path + ".target") << text;
            chmod((path + ".target").c_str(), 0600);
            std::filesystem::create_symlink(path + ".target", path);
        } else {
            write(text, c.mode);
        }
        if (c.foreignOwner) {
            ASSERT_EQ(0, chown(path.c_str(), geteuid() + 1, static_cast<gid_t>(-1)));
        }
        KeyFile file(path);
        std::string error;
        EXPECT_EQ(file.load(&error), c.error == nullptr) << std::oct << c.mode;
        if (c.error != nullptr) {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
        EXPECT_EQ(error.find(kKeyText), std::string::npos);
    }
}

}  // namespace
