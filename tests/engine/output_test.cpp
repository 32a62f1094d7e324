// The output writer: what it builds, what it refuses before a file exists,
// what the file carries, and the order in which it lets go.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>
#include <utility>

#include "engine/output.h"
#include "engine/pipeline.h"
#include "tests/support/scripted_driver.h"
#include "tests/support/support.h"

using testsupport::CompressCall;
using testsupport::ScopedScriptedCodec;
using testsupport::ScriptedCodec;

namespace {

constexpr DWORD kCodec = mmioFOURCC('S', 'C', 'R', 'O');

uint32_t le32(const std::string& b, size_t at) {
    auto u = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(b[at + i])); };
    return u(0) | (u(1) << 8) | (u(2) << 16) | (u(3) << 24);
}

// The body of the first chunk with this id in a RIFF file (a plain search,
// enough for the small files written here).
std::string chunk(const std::string& file, const char* id) {
    const size_t at = file.find(id);
    if (at == std::string::npos || at + 8 > file.size()) return {};
    return file.substr(at + 8, le32(file, at + 4));
}

// A written AVI is complete when its RIFF size covers the file and its index is there.
bool avi_complete(const std::string& path) {
    const std::string file = testsupport::read_file(path);
    return file.size() > 12 && file.compare(0, 4, "RIFF") == 0 && le32(file, 4) + 8 == file.size() &&
           file.find("idx1") != std::string::npos;
}

class OutputTest : public ::testing::Test {
protected:
    ScriptedCodec codec;
    ScopedScriptedCodec installed{kCodec, &codec};
    testsupport::TempDir dir;
    std::string path = dir.file("out.avi");
    EncodeSettings settings{};
    OutputWriter w{};
    bool open_ok = false;

    void SetUp() override {
        settings_set_defaults(settings);
        settings.codec = kCodec;
    }
    void TearDown() override {
        if (open_ok) output_close(w);
    }
    int open(int32_t width, int32_t height, DWORD rate = 25, DWORD scale = 1) {
        const BITMAPINFOHEADER f = make_rgb24_format(width, height);
        const AVISTREAMINFOA si = make_video_stream_info(width, height, static_cast<int32_t>(rate),
                                                         static_cast<int32_t>(scale));
        open_ok = output_open(path.c_str(), si, f, settings, w) == 1;
        return open_ok;
    }
    // Every instance the writer opened has been closed again.
    void expect_all_closed() {
        EXPECT_EQ(codec.of(DRV_OPEN).size() - (codec.refuse_compress ? 1 : 0) - (codec.refuse_decompress ? 1 : 0),
                  codec.of(DRV_CLOSE).size());
    }
};

}  // namespace

TEST(OutputFormats, HostFrameFormatAndStreamInfo) {
    const BITMAPINFOHEADER f = make_rgb24_format(640, 480);
    EXPECT_EQ(f.biSize, 40u);
    EXPECT_EQ(f.biWidth, 640);
    EXPECT_EQ(f.biHeight, 480);
    EXPECT_EQ(f.biPlanes, 1);
    EXPECT_EQ(f.biBitCount, 24);
    EXPECT_EQ(f.biCompression, BI_RGB);
    EXPECT_EQ(f.biSizeImage, 921600u);
    EXPECT_EQ(f.biXPelsPerMeter, 2048);
    EXPECT_EQ(f.biYPelsPerMeter, 2048);
    EXPECT_EQ(f.biClrUsed, 0u);
    EXPECT_EQ(f.biClrImportant, 0u);
    // Rows are padded to 4 bytes, as in any DIB: 322 pixels make 968 bytes a row.
    EXPECT_EQ(make_rgb24_format(322, 2).biSizeImage, 1936u);
    EXPECT_EQ(make_rgb24_format(1, 1).biSizeImage, 4u);

    const AVISTREAMINFOA si = make_video_stream_info(640, 480, 30000, 1001);
    AVISTREAMINFOA expected{};
    expected.fccType = streamtypeVIDEO;
    expected.fccHandler = mmioFOURCC('D', 'I', 'B', ' ');
    expected.dwScale = 1001;
    expected.dwRate = 30000;
    expected.rcFrame = RECT{0, 0, 640, 480};
    EXPECT_EQ(std::memcmp(&si, &expected, sizeof si), 0);  // every other byte 0
}

TEST_F(OutputTest, SceneThreshold) {
    struct Case {
        int32_t width, height, level, threshold;
    };
    for (const Case& c : {Case{320, 240, 1, 4800}, Case{320, 240, 3, 14400}, Case{320, 240, 0, 0},
                          Case{100, 75, 2, 936}, Case{320, 240, -1, -4800}}) {
        settings.scene_level = c.level;
        ASSERT_TRUE(open(c.width, c.height));
        EXPECT_EQ(w.scene_threshold, c.threshold) << c.width << "x" << c.height << " level " << c.level;
        output_close(w);
        open_ok = false;
    }
}

TEST_F(OutputTest, StreamCarriesTheCodecAndTheUncompressedHeader) {
    const AVISTREAMINFOA si = make_video_stream_info(320, 240, 30000, 1001);
    const BITMAPINFOHEADER f = make_rgb24_format(320, 240);
    ASSERT_EQ(output_open(path.c_str(), si, f, settings, w), 1);
    open_ok = true;
    EXPECT_EQ(w.stream_info.fccHandler, kCodec);
    EXPECT_EQ(w.stream_info.dwRate, 30000u);
    EXPECT_EQ(w.uncompressed_format->biCompression, BI_RGB);
    EXPECT_EQ(w.compressed_format->biCompression, kCodec);
    EXPECT_EQ(w.compressed_format->biSizeImage, 230400u);
    std::vector<uint8_t> frame(f.biSizeImage, 0x30);
    ASSERT_EQ(pipeline_process_frame(w, settings, nullptr, 0, &f, frame.data()), 1);
    ASSERT_EQ(output_close(w), 1);
    open_ok = false;

    const std::string file = testsupport::read_file(path);
    const std::string strf = chunk(file, "strf");
    ASSERT_EQ(strf.size(), 40u);  // biSize bytes, nothing behind the header
    BITMAPINFOHEADER written;
    std::memcpy(&written, strf.data(), 40);
    EXPECT_EQ(written.biCompression, kCodec);
    EXPECT_EQ(written.biSizeImage, 230400u);
    EXPECT_EQ(written.biWidth, 320);
    EXPECT_EQ(written.biBitCount, 24);
    const std::string strh = chunk(file, "strh");
    ASSERT_GE(strh.size(), 8u);
    EXPECT_EQ(le32(strh, 0), streamtypeVIDEO);
    EXPECT_EQ(le32(strh, 4), kCodec);
}

TEST_F(OutputTest, RefusalsLeaveNothingBehind) {
    // No codec: no file.
    codec.refuse_compress = true;
    EXPECT_FALSE(open(64, 48));
    EXPECT_EQ(w.failure, OutputFailure::codec_unavailable);
    EXPECT_FALSE(testsupport::file_exists(path));
    EXPECT_EQ(w.uncompressed_format, nullptr);
    EXPECT_EQ(w.compressed_format, nullptr);
    codec.refuse_compress = false;

    // A scale or a rate of 0 is no frame rate: refused before any codec is opened.
    for (auto [rate, scale] : {std::pair<DWORD, DWORD>{25, 0}, {0, 1}, {0, 0}}) {
        SCOPED_TRACE("rate " + std::to_string(rate) + ", scale " + std::to_string(scale));
        codec.messages.clear();
        EXPECT_FALSE(open(64, 48, rate, scale));
        EXPECT_EQ(w.failure, OutputFailure::bad_format);
        EXPECT_TRUE(codec.messages.empty());
        EXPECT_FALSE(testsupport::file_exists(path));
    }

    // A directory that does not exist: found when the first frame is ready and
    // the file is created; the close lets go of codec and buffers.
    codec.messages.clear();
    path = dir.file("missing/out.avi");
    ASSERT_TRUE(open(64, 48));
    const BITMAPINFOHEADER f = make_rgb24_format(64, 48);
    std::vector<uint8_t> frame(f.biSizeImage, 0x40);
    EXPECT_EQ(pipeline_process_frame(w, settings, nullptr, 0, &f, frame.data()), 0);
    EXPECT_EQ(w.failure, OutputFailure::file_open);
    output_close(w);
    open_ok = false;
    EXPECT_EQ(codec.of(ICM_COMPRESS_END).size(), 1u);
    expect_all_closed();
    EXPECT_EQ(w.compressor.hic, nullptr);
    EXPECT_EQ(w.compressor.previous_frame, nullptr);
    EXPECT_EQ(w.verifier.decoder, nullptr);
    EXPECT_EQ(w.verifier.picture, nullptr);
    EXPECT_EQ(w.compressed_buffer, nullptr);
    EXPECT_EQ(w.uncompressed_format, nullptr);
}

TEST_F(OutputTest, NoVerificationDecoderNoRun) {
    // An existing file of that name stays as it was when the run is refused.
    ASSERT_TRUE(testsupport::ffmpeg({"-f", "lavfi", "-i", "color=size=32x32", "-frames:v", "1", path}));
    const std::string before = testsupport::read_file(path);

    codec.refuse_decompress = true;
    EXPECT_FALSE(open(64, 48));
    EXPECT_EQ(w.failure, OutputFailure::decoder_unavailable);
    expect_all_closed();
    codec.refuse_decompress = false;

    codec.decompress_begin_result = ICERR_BADFORMAT;
    codec.messages.clear();
    EXPECT_FALSE(open(64, 48));
    EXPECT_EQ(w.failure, OutputFailure::decoder_unavailable);
    expect_all_closed();
    EXPECT_EQ(testsupport::read_file(path), before);
}

TEST_F(OutputTest, ReencodeKeyAsksForAKeyFrameAndTakesTheAnswer) {
    ASSERT_TRUE(open(320, 240));
    std::vector<uint8_t> frame(230400, 0x55);
    const BITMAPINFOHEADER f = make_rgb24_format(320, 240);
    ASSERT_EQ(pipeline_process_frame(w, settings, nullptr, 0, &f, frame.data()), 1);

    codec.size_answer = [](const CompressCall& c) -> DWORD { return 2000 + c.index; };
    EXPECT_EQ(output_reencode_key(w, frame.data()), 1);
    EXPECT_EQ(w.last_is_key, 1);
    EXPECT_EQ(w.last_size, 2001u);
    const CompressCall& redo = codec.compresses.back();
    EXPECT_TRUE(redo.flags & ICCOMPRESS_KEYFRAME);
    EXPECT_EQ(redo.frame_num, 0);
    EXPECT_EQ(redo.frame_size, w.compressor.key_budget);
    EXPECT_FALSE(redo.has_prev);
    EXPECT_EQ(redo.output_buffer, w.compressed_buffer);
    EXPECT_EQ(codec.of(ICM_COMPRESS_BEGIN).size(), 2u);

    // A codec that does not honour the request: the frame stays a delta frame.
    codec.key_answer = [](const CompressCall&) { return false; };
    EXPECT_EQ(output_reencode_key(w, frame.data()), 1);
    EXPECT_EQ(w.last_is_key, 0);
    EXPECT_EQ(w.last_size, 2002u);
}

TEST_F(OutputTest, FileIsCompleteBeforeCodecAndDecoderGo) {
    bool checked_compressor = false;
    bool checked_decoder = false;
    bool complete_at_compress_end = false;
    bool complete_at_decompress_end = false;
    codec.on_message = [&](const testsupport::DriverMessage& m) {
        if (m.msg == ICM_COMPRESS_END) {
            checked_compressor = true;
            complete_at_compress_end = avi_complete(path);
        } else if (m.msg == ICM_DECOMPRESS_END) {
            checked_decoder = true;
            complete_at_decompress_end = avi_complete(path);
        }
    };
    ASSERT_TRUE(open(64, 48));
    const BITMAPINFOHEADER f = make_rgb24_format(64, 48);
    std::vector<uint8_t> frame(f.biSizeImage, 0x20);
    for (int n = 0; n < 3; ++n) ASSERT_EQ(pipeline_process_frame(w, settings, nullptr, n, &f, frame.data()), 1);
    EXPECT_FALSE(avi_complete(path));  // the check can tell an open file from a finished one
    EXPECT_EQ(output_close(w), 1);
    open_ok = false;
    EXPECT_TRUE(checked_compressor);
    EXPECT_TRUE(checked_decoder);
    EXPECT_TRUE(complete_at_compress_end);
    EXPECT_TRUE(complete_at_decompress_end);
    EXPECT_EQ(w.file, nullptr);
    EXPECT_EQ(w.stream, nullptr);
    EXPECT_EQ(w.verifier.decoder, nullptr);
    EXPECT_EQ(w.compressor.hic, nullptr);
}

TEST_F(OutputTest, BuffersHoldPaddedRows) {
    // 322 pixels: 968 bytes a row, padded to 4 bytes as the frames are; a
    // codec whose answer says 966 a row still finds the buffers big enough.
    constexpr size_t kPadded = 968 * 242;
    codec.decode_bytes = kPadded;
    codec.read_prev_bytes = kPadded;
    codec.size_answer = [](const CompressCall&) -> DWORD { return 966 * 242; };
    ASSERT_TRUE(open(322, 242));
    EXPECT_GE(w.buffer_size, kPadded);
    EXPECT_GE(w.compressor.buffer_size, kPadded);
    const BITMAPINFOHEADER f = make_rgb24_format(322, 242);
    std::vector<uint8_t> frame(f.biSizeImage, 0x66);
    for (int n = 0; n < 3; ++n) ASSERT_EQ(pipeline_process_frame(w, settings, nullptr, n, &f, frame.data()), 1);
    // The previous frame handed to the codec is the whole padded frame.
    EXPECT_EQ(codec.prev_checksum, 2u * 968 * 242 * 0x66);
}

TEST(OutputAudioSpans, HalfASecondAheadOfEachFrameAndNeverPastTheVideo) {
    const AVISTREAMINFOA pal = make_video_stream_info(64, 48, 25, 1);
    const AVISTREAMINFOA ntsc = make_video_stream_info(64, 48, 30000, 1001);
    const AVISTREAMINFOA pcm48 = audio_pcm_stream_info(audio_pcm16_format(48000, 2));
    const AVISTREAMINFOA pcm44 = audio_pcm_stream_info(audio_pcm16_format(44100, 1));
    AVISTREAMINFOA late = pcm48;
    late.dwStart = 12000;  // starts 250 ms into the file
    AVISTREAMINFOA mp3_vbr{};  // a chunk a sample, 1152 samples each
    mp3_vbr.dwScale = 1152;
    mp3_vbr.dwRate = 48000;
    struct Row {
        const AVISTREAMINFOA& video;
        const AVISTREAMINFOA& audio;
        int64_t frame_count, n, end, lead;
    };
    const Row rows[] = {
        {pal, pcm48, 50, 0, 25920, 24000},
        {pal, pcm48, 50, 10, 24000 + 11 * 1920, 24000},
        {pal, pcm48, 50, 36, 95040, 24000},
        {pal, pcm48, 50, 37, 96000, 24000},   // the lead reaches the end of the video
        {pal, pcm48, 50, 49, 96000, 24000},
        {pal, pcm48, 5, 0, 9600, 9600},       // 200 ms of video: even the lead stops at its end
        {ntsc, pcm44, 100, 0, 23521, 22050},  // floor((1001 / 30000 + 0.5) * 44100)
        {pal, late, 50, 0, 13920, 12000},
        {pal, late, 50, 49, 84000, 12000},
        {pal, mp3_vbr, 50, 0, 22, 20},        // floor(0.54 * 48000 / 1152)
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.audio.dwRate << "/" << r.audio.dwScale << " n " << r.n);
        EXPECT_EQ(audio_frame_end(r.n, r.frame_count, r.video, r.audio), r.end);
        EXPECT_EQ(audio_lead_end(r.frame_count, r.video, r.audio), r.lead);
    }
    // A start later than a frame's end leaves nothing for that frame.
    AVISTREAMINFOA very_late = pcm48;
    very_late.dwStart = 480000;
    EXPECT_EQ(audio_frame_end(3, 50, pal, very_late), 0);
}

TEST_F(OutputTest, AudioGoesJustAheadOfItsFrameAndIsDroppedWithAFrameNeverWritten) {
    ASSERT_TRUE(open(64, 48));
    const WAVEFORMATEX pcm = audio_pcm16_format(8000, 1);
    AudioStreamDescription description{audio_pcm_stream_info(pcm), &pcm, sizeof pcm, 0};
    std::strcpy(description.info.szName, "commentary");
    ASSERT_EQ(output_audio_add(w.audio, description, nullptr), 1);
    const BITMAPINFOHEADER f = make_rgb24_format(64, 48);
    std::vector<uint8_t> frame(f.biSizeImage, 0x20);
    const std::vector<int16_t> samples(400, 7);
    ASSERT_EQ(output_audio_queue(w.audio, 0, samples.data(), 800, 400), 1);
    ASSERT_EQ(output_audio_queue(w.audio, 0, samples.data(), 200, 100), 1);
    ASSERT_EQ(pipeline_process_frame(w, settings, nullptr, 0, &f, frame.data()), 1);
    EXPECT_EQ(w.audio.last_bytes, 1000u);
    ASSERT_EQ(output_audio_queue(w.audio, 0, samples.data(), 160, 80), 1);
    ASSERT_EQ(pipeline_process_frame(w, settings, nullptr, 1, &f, frame.data()), 1);
    ASSERT_EQ(output_audio_queue(w.audio, 0, samples.data(), 800, 400), 1);  // its frame never comes
    EXPECT_EQ(output_close(w), 1);
    open_ok = false;

    const std::string file = testsupport::read_file(path);
    std::vector<std::pair<std::string, uint32_t>> order;
    for (size_t at = file.find("movi") + 4; at + 8 <= file.size() && file.compare(at, 4, "idx1") != 0;) {
        const uint32_t size = le32(file, at + 4);
        order.emplace_back(file.substr(at, 4), size);
        at += 8 + size + (size & 1);
    }
    const std::vector<std::pair<std::string, uint32_t>> expected = {
        {"01wb", 800}, {"01wb", 200}, {"00dc", order.size() > 2 ? order[2].second : 0}, {"01wb", 160},
        {"00dc", order.size() > 4 ? order[4].second : 0}};
    EXPECT_EQ(order, expected);
    EXPECT_EQ(chunk(file, "strn").substr(0, 10), "commentary");
    EXPECT_EQ(w.audio.streams, nullptr);
}
