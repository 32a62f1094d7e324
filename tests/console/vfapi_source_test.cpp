// The VFAPI source against scripted reader plug-ins listed in a test registry.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "console/frame_source.h"
#include "console/vfapi.h"
#include "tests/support/scripted_plugin.h"
#include "tests/support/support.h"

namespace {

using testsupport::install_scripted_plugin;
using testsupport::read_lines;
using Lines = std::vector<std::string>;

class VfapiSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TWOPASS_REGISTRY", registry.c_str(), 1);
        ASSERT_FALSE(testsupport::scripted_plugin_library().empty());
    }
    void TearDown() override {
        frame_source_close(source);
        unsetenv("TWOPASS_REGISTRY");
    }

    // A plug-in named name with the journal line and the given script lines.
    std::string plugin(const std::string& name, Lines script = {}, bool with_export = true) {
        script.push_back("journal=" + journal);
        return install_scripted_plugin(dir.path(), name, script, with_export);
    }

    void list(const std::vector<std::string>& libraries) {
        std::vector<std::pair<std::string, std::string>> values;
        for (size_t i = 0; i < libraries.size(); ++i) values.emplace_back("p" + std::to_string(i), libraries[i]);
        testsupport::write_plugin_registry(registry, values);
    }

    Lines calls() { return read_lines(journal); }

    int open(const char* path) { return frame_source_open(vfapi_source_ops, path, source); }

    testsupport::TempDir dir;
    std::string registry = dir.file("registry.reg");
    std::string journal = dir.file("journal");
    FrameSource source{};
};

TEST_F(VfapiSourceTest, TheFirstListedPluginThatOpensTheFileIsUsed) {
    list({plugin("a.so"), plugin("b.so")});
    ASSERT_EQ(open("clip.aup"), 1);
    EXPECT_EQ(calls(), (Lines{"a.so load", "a.so getfunc " + std::to_string(sizeof(VfapiFunctionTable)),
                              "a.so open clip.aup", "a.so fileinfo 8", "a.so streaminfo 1 32"}));
    frame_source_close(source);
    EXPECT_EQ(calls().back(), "a.so unload");
    EXPECT_EQ(calls()[calls().size() - 2], "a.so close 4660");
}

TEST_F(VfapiSourceTest, PluginsThatDoNotOpenTheFileAreUnloadedAndSkipped) {
    list({dir.file("missing.so"), plugin("noexport.so", {}, false), plugin("nofunc.so", {"get_plugin_func=1"}),
          plugin("refuses.so", {"open=5"}), plugin("refuses0.so", {"open=1", "handle=0"}), plugin("ok.so")});
    ASSERT_EQ(open("clip.tpr"), 1);
    EXPECT_EQ(calls(), (Lines{"noexport.so load", "noexport.so unload",
                              "nofunc.so load", "nofunc.so getfunc " + std::to_string(sizeof(VfapiFunctionTable)),
                              "nofunc.so unload",
                              "refuses.so load", "refuses.so getfunc " + std::to_string(sizeof(VfapiFunctionTable)),
                              "refuses.so open clip.tpr", "refuses.so close 4660", "refuses.so unload",
                              "refuses0.so load", "refuses0.so getfunc " + std::to_string(sizeof(VfapiFunctionTable)),
                              "refuses0.so open clip.tpr", "refuses0.so unload",
                              "ok.so load", "ok.so getfunc " + std::to_string(sizeof(VfapiFunctionTable)),
                              "ok.so open clip.tpr", "ok.so fileinfo 8", "ok.so streaminfo 1 32"}));
}

TEST_F(VfapiSourceTest, AValueThatDoesNotFitEndsTheSearch) {
    const std::string good = plugin("good.so");
    // 300 bytes of path: more than the 260-byte buffer.
    list({dir.path() + "/" + std::string(300 - dir.path().size() - 1, 'x'), good});
    EXPECT_EQ(open("clip.mkv"), 0);
    EXPECT_TRUE(calls().empty()) << "nothing after the long value is tried";

    // Exactly 260 bytes of text without its zero: read in full, but not a
    // path that can be handed on.
    std::string hex;
    for (int i = 0; i < 260; ++i) hex += i ? ",61" : "61";
    std::ofstream(registry) << "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\VFPlugin]\n"
                            << "\"raw\"=hex(1):" << hex << "\n\"good\"=\"" << good << "\"\n";
    EXPECT_EQ(open("clip.mkv"), 0);
    EXPECT_TRUE(calls().empty());
}

TEST_F(VfapiSourceTest, NoRegistryKeyOrNoPluginOpensNothing) {
    EXPECT_EQ(open("clip.mkv"), 0);
    list({plugin("no.so", {"open=1"})});
    EXPECT_EQ(open("clip.mkv"), 0);
    EXPECT_EQ(calls().back(), "no.so unload");
    EXPECT_EQ(source.self, nullptr);
}

TEST_F(VfapiSourceTest, AFileWithoutVideoOrWithAPictureThatCantBeHeldIsRefused) {
    list({plugin("audio.so", {"flags=2"})});
    EXPECT_EQ(open("song.mp3"), 0);
    EXPECT_EQ(calls(), (Lines{"audio.so load", "audio.so getfunc " + std::to_string(sizeof(VfapiFunctionTable)),
                              "audio.so open song.mp3", "audio.so fileinfo 8", "audio.so close 4660",
                              "audio.so unload"}));
    EXPECT_EQ(source.self, nullptr);

    for (const char* bad : {"bits=4", "width=0", "height=0"}) {
        std::remove(journal.c_str());
        list({plugin(std::string("bad") + bad[0] + ".so", {bad})});
        EXPECT_EQ(open("clip.avs"), 0) << bad;
        EXPECT_EQ(calls().back().substr(calls().back().find(' ')), " unload") << bad;
        EXPECT_EQ(source.self, nullptr);
        EXPECT_EQ(source.format, nullptr);
    }
}

// Larger than any run encodes (here 12 GB a frame): opened for its size
// alone, which the writer refuses with its message; no frame is read.
TEST_F(VfapiSourceTest, APictureTooLargeToEncodeOpensWithItsSizeAndNoFrames) {
    list({plugin("big.so", {"width=65536", "height=65536", "frames_l=5"})});
    ASSERT_EQ(open("clip.avs"), 1);
    ASSERT_NE(source.format, nullptr);
    EXPECT_EQ(source.format->biWidth, 65536);
    EXPECT_EQ(source.format->biHeight, 65536);
    EXPECT_EQ(source.frame_count, 0u);
    const void* pixels = nullptr;
    const BITMAPINFOHEADER* header = nullptr;
    EXPECT_EQ(frame_source_next(source, &pixels, &header), kFrameEnd);
    for (const std::string& call : calls()) EXPECT_EQ(call.find(" read"), std::string::npos) << call;
}

TEST_F(VfapiSourceTest, FormatsAndRequestDescribeABottomUpPictureWithPaddedRows) {
    list({plugin("p.so", {"width=350", "height=5", "rate=30000", "scale=1001", "frames_l=77", "flags=3"})});
    ASSERT_EQ(open("clip.avs"), 1);
    EXPECT_EQ(calls().back(), "p.so streaminfo 2 32") << "audio is asked about too";

    ASSERT_NE(source.format, nullptr);
    const BITMAPINFOHEADER& h = *source.format;
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biWidth, 350);
    EXPECT_EQ(h.biHeight, 5);
    EXPECT_EQ(h.biPlanes, 1);
    EXPECT_EQ(h.biBitCount, 24);
    EXPECT_EQ(h.biCompression, BI_RGB);
    EXPECT_EQ(h.biSizeImage, 1052u * 5);  // 350 * 3 bytes a row, padded to 4 as in any DIB
    EXPECT_EQ(h.biXPelsPerMeter, 1000);
    EXPECT_EQ(h.biYPelsPerMeter, 1000);

    AVISTREAMINFOA expected{};
    expected.fccType = mmioFOURCC('v', 'i', 'd', 's');
    expected.fccHandler = mmioFOURCC('D', 'I', 'B', ' ');
    expected.dwScale = 1001;
    expected.dwRate = 30000;
    expected.rcFrame = RECT{0, 0, 350, 5};
    EXPECT_EQ(std::memcmp(source.info, &expected, sizeof expected), 0);
    EXPECT_EQ(source.frame_count, 77u);

    const BITMAPINFOHEADER* const format = source.format;
    const void* buffer = nullptr;
    const void* pixels = nullptr;
    const BITMAPINFOHEADER* header = nullptr;
    for (int frame = 0; frame < 3; ++frame) {
        ASSERT_EQ(frame_source_next(source, &pixels, &header), 1);
        // The request's size, frame number and pitch as the plug-in saw them.
        EXPECT_EQ(calls().back(), "p.so read 1 " + std::to_string(sizeof(VfapiVideoRead)) + " " +
                                      std::to_string(frame) + " 0 -1052");
        if (frame == 0) buffer = pixels;
        EXPECT_EQ(pixels, buffer) << "one buffer for every frame";
        EXPECT_EQ(header, format);
        // The buffer starts with the picture's bottom row (top-down row 4).
        const auto* bytes = static_cast<const uint8_t*>(pixels);
        EXPECT_EQ(bytes[0], frame);
        EXPECT_EQ(bytes[1], 4);
        EXPECT_EQ(bytes[3 * 349], (349 + frame) & 255);
        EXPECT_EQ(bytes[1052 * 4 + 1], 0) << "the top row comes last";
    }
}

TEST_F(VfapiSourceTest, TheFrameNumberCarriesIntoItsHighWord) {
    list({plugin("p.so", {"frames_h=1", "frames_l=5"})});
    ASSERT_EQ(open("clip.avs"), 1);
    EXPECT_EQ(source.frame_count, 0x7FFFFFFFu);
    VfapiVideoRead request{};
    request.dwFrameNumberL = 0xFFFFFFFFu;
    vfapi_frame_number_advance(request);
    EXPECT_EQ(request.dwFrameNumberL, 0u);
    EXPECT_EQ(request.dwFrameNumberH, 1u);
    vfapi_frame_number_advance(request);
    EXPECT_EQ(request.dwFrameNumberL, 1u);
    EXPECT_EQ(request.dwFrameNumberH, 1u);
}

TEST_F(VfapiSourceTest, AFailedReadEndsTheInputWithFiveDebugLines) {
    list({plugin("p.so", {"fail_read_at=2"})});
    ASSERT_EQ(open("clip.avs"), 1);
    const void* pixels;
    const BITMAPINFOHEADER* header;
    ASSERT_EQ(frame_source_next(source, &pixels, &header), 1);
    ASSERT_EQ(frame_source_next(source, &pixels, &header), 1);
    const auto* frame_buffer = static_cast<const uint8_t*>(pixels);
    testing::internal::CaptureStdout();
    EXPECT_EQ(frame_source_next(source, &pixels, &header), 0);
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    char address[64];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(frame_buffer + 48 * 7));
    EXPECT_EQ(out, "DEBUG - ReadData() return non-zero value.\n"
                   "DEBUG - dwSize: " + std::to_string(sizeof(VfapiVideoRead)) + "\n"
                   "DEBUG - dwFrameNumberL: 2, dwFrameNumberH: 0\n"
                   "DEBUG - lpData: " + std::string(address) + "\n"
                   "DEBUG - lPitch: -48\n");
    // A refused frame is not counted: the next request asks for it again.
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    EXPECT_EQ(frame_source_next(source, &pixels, &header), 0);
    std::fflush(stdout);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(calls().back(), "p.so read 1 " + std::to_string(sizeof(VfapiVideoRead)) + " 2 0 -48");
}

}  // namespace
