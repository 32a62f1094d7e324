// The module as the editor sees it: its one export, its table, and the
// configuration hand-over through the table's entries.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <sstream>
#include <string>

#include "tests/plugin/plugin_module.h"
#include "tests/support/support.h"

namespace {

// The text in code page 932, converted by the system's iconv program.
std::string cp932(const std::string& utf8) {
    testsupport::TempDir dir;
    const std::string in = dir.file("text.txt");
    FILE* f = std::fopen(in.c_str(), "wb");
    std::fwrite(utf8.data(), 1, utf8.size(), f);
    std::fclose(f);
    const auto r = testsupport::run_process({"iconv", "-f", "UTF-8", "-t", "CP932", in});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.out;
}

TEST(PluginTable, ModuleExportsOnlyTheTableEntry) {
    const auto r =
        testsupport::run_process({"nm", "-D", "--defined-only", testsupport::build_dir() + "/vnt.auo"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::istringstream lines(r.out);
    std::vector<std::string> names;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) names.push_back(line.substr(line.find_last_of(' ') + 1));
    }
    EXPECT_EQ(names, std::vector<std::string>{"GetOutputPluginTable"}) << r.out;
}

TEST(PluginTable, TextsAreShiftJisAndEntriesAreInPlace) {
    PluginModule m;
    ASSERT_TRUE(m.ok());
    const OutputPluginTable& t = m.table();
    EXPECT_EQ(m.entry()(), &t) << "the same table on every call";

    const std::string name = cp932("自動２パス MsPEG4 圧縮");
    ASSERT_EQ(name.size(), 22u);
    EXPECT_EQ(std::string(t.display_name), name);
    EXPECT_EQ(std::string(t.information), name);

    // Description, pattern, then the empty string that ends the list.
    const char* f = t.file_filter;
    EXPECT_EQ(std::string(f), cp932("AVI (*.avi)"));
    f += std::strlen(f) + 1;
    EXPECT_EQ(std::string(f), "*.avi");
    f += std::strlen(f) + 1;
    EXPECT_EQ(*f, '\0');

    EXPECT_EQ(t.flags, 0);
    EXPECT_EQ(t.on_init, nullptr);
    EXPECT_EQ(t.on_exit, nullptr);
    EXPECT_NE(t.on_output, nullptr);
    EXPECT_NE(t.on_config, nullptr);
    for (int32_t word : t.reserved) EXPECT_EQ(word, 0);
}

TEST(PluginTable, ConfigurationHandOver) {
    PluginModule m;
    ASSERT_TRUE(m.ok());
    const OutputPluginTable& t = m.table();

    EXPECT_EQ(t.on_config_get(nullptr, 0), 40);
    EXPECT_EQ(t.on_config_get(nullptr, 40), 40);

    // Out-of-range values are kept exactly as set.
    const std::array<int32_t, 10> wild = {9, 50000, 0, -3, 100, 1, 5, -1, 25, 400};
    std::array<int32_t, 10> in = wild;
    ASSERT_EQ(t.on_config_set(in.data(), 40), 40);
    std::array<uint8_t, 44> out;
    out.fill(0xAB);
    EXPECT_EQ(t.on_config_get(out.data(), 40), 40);
    EXPECT_EQ(std::memcmp(out.data(), wild.data(), 40), 0);
    EXPECT_EQ(out[40], 0xAB) << "no byte past the record is written";

    // A wrong size copies nothing out and takes nothing in.
    for (int size : {35, 36, 37, 39, 41, 44}) {
        std::array<uint8_t, 44> untouched;
        untouched.fill(0xCD);
        EXPECT_EQ(t.on_config_get(untouched.data(), size), 40);
        for (uint8_t b : untouched) ASSERT_EQ(b, 0xCD) << "size " << size;
        if (size == 36) continue;  // taken in: below

        std::array<int32_t, 11> other{};
        other.fill(7);
        EXPECT_EQ(t.on_config_set(other.data(), size), 0);
        std::array<int32_t, 10> now{};
        t.on_config_get(now.data(), 40);
        EXPECT_EQ(now, wild) << "size " << size;
    }

    // The 36 bytes an earlier plug-in stored: every field as it was, audio off,
    // and nothing read past them.
    const std::array<int32_t, 9> stored = {3, 4000, 12, 60, 10, 30, 1, 0, 3};
    std::array<int32_t, 10> block{};
    std::memcpy(block.data(), stored.data(), 36);
    block[9] = 192;  // past the 36 bytes: not the plug-in's to read
    ASSERT_EQ(t.on_config_set(block.data(), 36), 36);
    std::array<int32_t, 10> now{};
    EXPECT_EQ(t.on_config_get(now.data(), 40), 40);
    EXPECT_EQ(std::memcmp(now.data(), stored.data(), 36), 0);
    EXPECT_EQ(now[9], 0) << "audio off";
}

}  // namespace
