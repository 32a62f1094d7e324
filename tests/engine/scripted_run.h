// The fixture the pipeline's and the session's tests share: a scripted
// codec, the real AVI writer, a log, and a frame to hand in.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "engine/pipeline.h"
#include "tests/support/scripted_driver.h"
#include "tests/support/support.h"

namespace enginetest {

using testsupport::DecompressCall;
using testsupport::ScopedScriptedCodec;
using testsupport::ScriptedCodec;

constexpr DWORD kCodec = mmioFOURCC('S', 'C', 'R', 'P');

inline void put_file(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

// Ruins the 8x8 block at memory row 8, pixel column 16 of a 64-wide frame: X 16, Y 48 - 8 - 8 = 32.
inline void spoil_block(uint8_t* pixels, int width) {
    for (int r = 8; r < 16; ++r)
        for (int x = 16; x < 24; ++x)
            for (int b = 0; b < 3; ++b) pixels[(r * width + x) * 3 + b] ^= 0x40;
}

// A run against a scripted codec and the real AVI writer, opened and driven
// frame by frame by the tests of the pipeline and of the session.
class ScriptedRun : public ::testing::Test {
protected:
    ScriptedCodec codec;
    ScopedScriptedCodec installed{kCodec, &codec};
    testsupport::TempDir dir;
    std::string path = dir.file("out.avi");
    EncodeSettings settings{};
    BITMAPINFOHEADER format = make_rgb24_format(64, 48);
    AVISTREAMINFOA info = make_video_stream_info(64, 48, 25, 1);
    OutputWriter w{};
    EncodeLog log{};
    std::vector<uint8_t> frame;
    std::set<int> noisy;  // compression indexes whose delta frame decodes with a ruined block
    bool closed = false;

    void SetUp() override {
        settings_set_defaults(settings);
        settings.codec = kCodec;
        settings.log_enabled = 1;
        codec.decode_hook = [this](const DecompressCall& call, uint8_t* out) {
            if ((call.flags & ICDECOMPRESS_NOTKEYFRAME) && noisy.count(call.data_tag))
                spoil_block(out, call.output.biWidth);
        };
    }
    void TearDown() override { close(); }

    void open() {
        frame.assign(format.biSizeImage, 0x80);
        ASSERT_EQ(output_open(path.c_str(), info, format, settings, w), 1);
        if (settings.log_enabled) log = log_open(path.c_str(), settings);
    }
    int process(int n) {
        frame[0] = static_cast<uint8_t>(n);
        return pipeline_process_frame(w, settings, &log, n, &format, frame.data());
    }
    int close() {
        if (closed) return 1;
        closed = true;
        log_close(log);
        return output_close(w);
    }
    std::string log_text() { return testsupport::read_file(dir.file("out.log")); }
    std::string log_frames() {
        const std::string text = log_text();
        const std::string head = " frame   size  key\n";
        const size_t at = text.find(head);
        return at == std::string::npos ? "" : text.substr(at + head.size());
    }
    // Packets of the written file as a peer reader sees them: "size flags" per line.
    std::string packets() {
        auto r = testsupport::run_process({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                           "packet=size,flags", "-of", "csv=p=0", path});
        return r.exit_code == 0 ? r.out : "ffprobe failed: " + r.err;
    }
    const DecompressCall* decode_of(int compress_index, bool delta) {
        for (const auto& d : codec.decompresses)
            if (d.data_tag == compress_index && ((d.flags & ICDECOMPRESS_NOTKEYFRAME) != 0) == delta) return &d;
        return nullptr;
    }
};

}  // namespace enginetest
