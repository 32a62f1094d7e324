// The registry stand-in: .reg text files read as the Windows calls answer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "engine/platform.h"
#include "tests/support/support.h"

using namespace std::string_literals;

namespace {

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("TWOPASS_REGISTRY", dir.file("registry.reg").c_str(), 1); }
    void TearDown() override {
        if (key) RegCloseKey(key);
        unsetenv("TWOPASS_REGISTRY");
    }

    void write(const std::string& text) {
        std::ofstream(dir.file("registry.reg"), std::ios::binary) << text;
    }

    LONG open(const char* subkey = "Software\\VFPlugin") {
        return RegOpenKeyExA(HKEY_CURRENT_USER, subkey, 0, KEY_READ, &key);
    }

    // Value index as name=data (data read as text), or the error code.
    std::string value(DWORD index, DWORD name_size = 260, DWORD data_size = 260) {
        char name[600] = {};
        BYTE data[600] = {};
        DWORD type = 99;
        LONG result = RegEnumValueA(key, index, name, &name_size, nullptr, &type, data, &data_size);
        if (result != ERROR_SUCCESS) return "error " + std::to_string(result);
        return std::string(name, name_size) + "=" +
               std::string(reinterpret_cast<char*>(data), data_size) + "/" + std::to_string(type);
    }

    testsupport::TempDir dir;
    HKEY key = nullptr;
};

TEST_F(RegistryTest, ValuesComeInFileOrderWithEscapesUndone) {
    write("Windows Registry Editor Version 5.00\r\n\r\n"
          "[HKEY_CURRENT_USER\\Software\\Other]\r\n\"x\"=\"no\"\r\n\r\n"
          "[HKEY_CURRENT_USER\\Software\\VFPlugin]\r\n"
          "\"zeta\"=\"C:\\\\plugins\\\\z.vfp\"\r\n"
          "; a comment\r\n"
          "\"alpha\"=\"say \\\"hi\\\"\"\r\n"
          "@=\"default\"\r\n"
          "\"num\"=dword:0000002a\r\n");
    ASSERT_EQ(open(), ERROR_SUCCESS);
    EXPECT_EQ(value(0), "zeta=C:\\plugins\\z.vfp\0/1"s);
    EXPECT_EQ(value(1), "alpha=say \"hi\"\0/1"s);
    EXPECT_EQ(value(2), "=default\0/1"s);
    EXPECT_EQ(value(3), "num=*\0\0\0/4"s);
    EXPECT_EQ(value(4), "error 259");
}

TEST_F(RegistryTest, TooSmallBuffersAnswerMoreData) {
    const std::string long_name(260, 'n');
    write("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\VFPlugin]\n\"" + long_name +
          "\"=\"x\"\n\"ok\"=\"" + std::string(259, 'd') + "\"\n\"big\"=\"" + std::string(260, 'd') + "\"\n");
    ASSERT_EQ(open(), ERROR_SUCCESS);
    // 260 characters and the terminating zero do not fit 260.
    EXPECT_EQ(value(0), "error 234");
    EXPECT_EQ(value(0, 261), "n" + long_name.substr(1) + "=x\0/1"s);
    // 259 characters and the zero are exactly 260 bytes; one more is too many.
    EXPECT_EQ(value(1).size(), 3 + 259 + 1 + 2);
    EXPECT_EQ(value(2), "error 234");

    char name[16];
    DWORD name_size = sizeof name;
    BYTE data[8];
    DWORD data_size = sizeof data;
    EXPECT_EQ(RegEnumValueA(key, 2, name, &name_size, nullptr, nullptr, data, &data_size), ERROR_MORE_DATA);
    EXPECT_EQ(data_size, 261u) << "the size needed is reported";
}

TEST_F(RegistryTest, HexDataOverSeveralLinesAndNonTerminatedText) {
    write("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\VFPlugin]\n"
          "\"bin\"=hex:41,42,\\\n  43,44\n"
          "\"raw\"=hex(1):61,62\n"
          "\"after\"=\"c\"\n");
    ASSERT_EQ(open(), ERROR_SUCCESS);
    EXPECT_EQ(value(0), "bin=ABCD/3");
    EXPECT_EQ(value(1), "raw=ab/1");
    EXPECT_EQ(value(2), "after=c\0/1"s);
}

TEST_F(RegistryTest, LaterLinesReplaceAndDelete) {
    write("Windows Registry Editor Version 5.00\n\n"
          "[HKEY_CURRENT_USER\\Software\\VFPlugin]\n\"a\"=\"1\"\n\"b\"=\"2\"\n\"c\"=\"3\"\n"
          "[HKEY_CURRENT_USER\\Software\\VFPlugin]\n\"A\"=\"4\"\n\"b\"=-\n");
    ASSERT_EQ(open(), ERROR_SUCCESS);
    EXPECT_EQ(value(0), "A=4\0/1"s);
    EXPECT_EQ(value(1), "c=3\0/1"s);
    EXPECT_EQ(value(2), "error 259");
}

TEST_F(RegistryTest, KeysOpenWithoutRegardToCaseAndMissingOnesDoNot) {
    write("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\VFPlugin\\Sub]\n\"a\"=\"1\"\n");
    EXPECT_EQ(open("software\\vfplugin\\SUB"), ERROR_SUCCESS);
    RegCloseKey(key);
    key = nullptr;
    // A parent of a listed key exists, with no values of its own.
    ASSERT_EQ(open(), ERROR_SUCCESS);
    EXPECT_EQ(value(0), "error 259");
    RegCloseKey(key);
    key = nullptr;
    EXPECT_EQ(open("Software\\Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\VFPlugin", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, AMissingOrForeignFileIsAnEmptyRegistry) {
    EXPECT_EQ(open(), ERROR_FILE_NOT_FOUND);
    write("[HKEY_CURRENT_USER\\Software\\VFPlugin]\n\"a\"=\"1\"\n");
    EXPECT_EQ(open(), ERROR_FILE_NOT_FOUND) << "a file without the editor's first line is not read";
}

TEST_F(RegistryTest, ReadsTheEditorsUtf16Files) {
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\VFPlugin]\r\n"
                       "\"r\"=\"/opt/\xC3\xA9.so\"\r\n";
    // Re-encode as UTF-16LE with its mark (the é is U+00E9).
    std::string wide = "\xFF\xFE";
    for (size_t i = 0; i < text.size(); ++i) {
        if (static_cast<unsigned char>(text[i]) == 0xC3) {
            wide += '\xE9';
            wide += '\0';
            ++i;
            continue;
        }
        wide += text[i];
        wide += '\0';
    }
    write(wide);
    ASSERT_EQ(open(), ERROR_SUCCESS);
    EXPECT_EQ(value(0), "r=/opt/\xC3\xA9.so\0/1"s);
}

TEST_F(RegistryTest, HandlesAreChecked) {
    char name[8];
    DWORD name_size = sizeof name;
    EXPECT_EQ(RegEnumValueA(reinterpret_cast<HKEY>(&name), 0, name, &name_size, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(&name)), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, ManyValuesSetAgainAndDeletedKeepTheirOrder) {
    // Every name twice (the second time in other case), every third deleted.
    std::string text = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\VFPlugin]\n";
    const int count = 20000;
    for (int i = 0; i < count; ++i) text += "\"v" + std::to_string(i) + "\"=\"a\"\n";
    text += "[HKEY_CURRENT_USER\\Software\\Other]\n\"x\"=\"1\"\n[HKEY_CURRENT_USER\\Software\\VFPlugin]\n";
    for (int i = 0; i < count; ++i) text += "\"V" + std::to_string(i) + (i % 3 == 0 ? "\"=-\n" : "\"=\"b\"\n");
    write(text);
    ASSERT_EQ(open(), ERROR_SUCCESS);
    DWORD index = 0;
    for (int i = 0; i < count; ++i) {
        if (i % 3 == 0) continue;
        ASSERT_EQ(value(index++), "V" + std::to_string(i) + "=b\0/1"s);
    }
    EXPECT_EQ(value(index), "error 259");
}

// A FIFO blocks in its open, a device never ends, a huge file is no registry:
// each reads as an empty registry, at once. Run in a child that an alarm
// ends, so that a hang fails the case instead of the whole program.
TEST_F(RegistryTest, WhatIsNotARegularFileOfAFewMegabytesIsAnEmptyRegistry) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string fifo = dir.file("fifo.reg");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string huge = dir.file("huge.reg");
    {
        std::ofstream out(huge, std::ios::binary);
        out << "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\VFPlugin]\n\"a\"=\"1\"\n";
        const std::string comment = "; " + std::string(1021, 'x') + "\n";
        for (int i = 0; i < 5 * 1024; ++i) out << comment;
    }
    for (const std::string& path : {fifo, std::string("/dev/zero"), std::string("/dev/urandom"), dir.path(), huge}) {
        SCOPED_TRACE(path);
        setenv("TWOPASS_REGISTRY", path.c_str(), 1);
        EXPECT_EXIT(
            {
                alarm(10);
                HKEY k = nullptr;
                std::_Exit(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\VFPlugin", 0, KEY_READ, &k) == ERROR_FILE_NOT_FOUND
                               ? 0
                               : 1);
            },
            ::testing::ExitedWithCode(0), "");
    }
}

}  // namespace
