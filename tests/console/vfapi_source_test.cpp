// The VFAPI source against scripted reader plug-ins listed in a test registry.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "console/frame_source.h"
#include "console/vfapi.h"
#include "tests/support/pcm_reference.h"
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

    int open(const char* path, SourceAudio audio = SourceAudio::none) {
        return frame_source_open(vfapi_source_ops, path, source, audio);
    }

    // The journal's audio reads.
    Lines audio_reads() {
        Lines reads;
        for (const std::string& call : calls())
            if (call.find(" read 2 ") != std::string::npos) reads.push_back(call);
        return reads;
    }

    // Every frame of the source with its audio: the chunks of each frame and
    // the bytes of all of them in order.
    struct Kept {
        std::vector<std::vector<FrameAudioChunk>> chunks;
        std::string bytes;
    };
    Kept read_all() {
        Kept kept;
        const void* pixels = nullptr;
        const BITMAPINFOHEADER* header = nullptr;
        for (uint32_t n = 0; n < source.frame_count; ++n) {
            if (frame_source_next(source, &pixels, &header) != kFrameDelivered) break;
            const FrameAudio& audio = frame_source_audio(source);
            kept.chunks.emplace_back(audio.chunks, audio.chunks + audio.chunk_count);
            for (const FrameAudioChunk& chunk : kept.chunks.back()) {
                EXPECT_EQ(chunk.stream, 0u);
                kept.bytes.append(reinterpret_cast<const char*>(audio.data) + chunk.offset, chunk.bytes);
            }
        }
        return kept;
    }

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

// The audio read record keeps its fields where plug-ins look for them; in
// the 32-bit build it is 28 bytes (checked where it is declared).
TEST(VfapiAudioReadTest, TheRecordHasItsLayout) {
    EXPECT_EQ(offsetof(VfapiAudioRead, dwSize), 0u);
    EXPECT_EQ(offsetof(VfapiAudioRead, dwSamplePosL), 4u);
    EXPECT_EQ(offsetof(VfapiAudioRead, dwSamplePosH), 8u);
    EXPECT_EQ(offsetof(VfapiAudioRead, dwSampleCount), 12u);
    EXPECT_EQ(offsetof(VfapiAudioRead, dwReadedSampleCount), 16u);
    EXPECT_EQ(offsetof(VfapiAudioRead, dwBufSize), 20u);
    EXPECT_EQ(offsetof(VfapiAudioRead, lpBuf), 24u);
    EXPECT_EQ(sizeof(VfapiAudioRead), 24 + sizeof(void*));
}

// 50 frames at 25 a second with 44.1 kHz stereo: 88200 samples, read with
// the frames in the spans the writer puts next to them, the first frame's
// in two (the lead, then the rest of its interval), on the frame reader's
// thread too.
TEST_F(VfapiSourceTest, EachFrameBringsItsAudioSpanUpToTheVideosLength) {
    list({plugin("p.so", {"flags=3", "frames_l=50"})});
    for (bool read_ahead : {false, true}) {
        SCOPED_TRACE(read_ahead ? "read ahead" : "direct");
        std::remove(journal.c_str());
        ASSERT_EQ(read_ahead ? read_ahead_open(vfapi_source_ops, "clip.avs", SourceAudio::copy, source)
                             : open("clip.avs", SourceAudio::copy),
                  1);
        ASSERT_EQ(source.audio_count, 1u);
        const AudioStreamDescription& description = source.audio[0];
        const WAVEFORMATEX want = audio_pcm16_format(44100, 2);
        ASSERT_EQ(description.format_size, sizeof(WAVEFORMATEX));
        EXPECT_EQ(std::memcmp(description.format, &want, sizeof want), 0);
        const AVISTREAMINFOA info = audio_pcm_stream_info(want);
        EXPECT_EQ(std::memcmp(&description.info, &info, sizeof info), 0);
        EXPECT_EQ(description.mp3_kbps, 0);
        const AVISTREAMINFOA video = *source.info;

        const Kept kept = read_all();
        ASSERT_EQ(kept.chunks.size(), 50u);
        ASSERT_EQ(kept.chunks[0].size(), 2u);
        EXPECT_EQ(kept.chunks[0][0].samples, audio_lead_end(50, video, info));
        EXPECT_EQ(kept.chunks[0][0].samples, 22050u);
        int64_t end = 0;
        for (int64_t n = 0; n < 50; ++n) {
            uint64_t samples = 0;
            for (const FrameAudioChunk& chunk : kept.chunks[static_cast<size_t>(n)]) {
                EXPECT_EQ(chunk.bytes, chunk.samples * 4);
                EXPECT_GT(chunk.samples, 0u) << "no empty chunks";
                samples += chunk.samples;
            }
            const int64_t frame_end = audio_frame_end(n, 50, video, info);
            EXPECT_EQ(static_cast<int64_t>(samples), frame_end - end) << "frame " << n;
            end = frame_end;
        }
        EXPECT_EQ(end, 88200);
        ASSERT_EQ(kept.bytes.size(), 88200u * 4);
        for (uint32_t p = 0; p < 88200; ++p) {
            uint16_t left, right;
            std::memcpy(&left, kept.bytes.data() + p * 4, 2);
            std::memcpy(&right, kept.bytes.data() + p * 4 + 2, 2);
            ASSERT_EQ(left, static_cast<uint16_t>(p * 2)) << p;
            ASSERT_EQ(right, static_cast<uint16_t>(p * 2 + 1)) << p;
        }
        // One read a frame for as long as there is audio to go with it, each
        // going on where the last ended, in step with the pictures.
        const Lines reads = audio_reads();
        ASSERT_FALSE(reads.empty());
        EXPECT_EQ(reads[0], "p.so read 2 " + std::to_string(sizeof(VfapiAudioRead)) + " 0 0 23814 95256");
        EXPECT_EQ(reads[1], "p.so read 2 " + std::to_string(sizeof(VfapiAudioRead)) + " 23814 0 1764 7056");
        const Lines all = calls();
        for (size_t i = 1; i < all.size(); ++i) {
            if (all[i].find(" read 2 ") != std::string::npos) {
                EXPECT_NE(all[i - 1].find(" read 1 "), std::string::npos) << "after the frame's picture: " << all[i];
            }
        }
        frame_source_close(source);
        source = FrameSource{};
    }
}

// A plug-in whose audio ends early: the rest of the video's length is
// silence (the middle value for 8-bit samples), the plug-in is not asked
// again, and one line says so.
TEST_F(VfapiSourceTest, AudioThatEndsBeforeTheVideoIsFilledWithSilenceSaidOnce) {
    struct Case {
        const char* name;
        Lines script;
        SourceAudio audio;
        uint32_t block;  // bytes of a sample kept
    };
    const Case cases[] = {
        {"16-bit", {"a_samples=30000"}, SourceAudio::copy, 4},
        {"8-bit", {"a_samples=30000", "a_bits=8"}, SourceAudio::copy, 2},
        {"8-bit made 16-bit", {"a_samples=30000", "a_bits=8"}, SourceAudio::pcm, 4},
        {"failed read", {"a_samples=30000", "a_read_error=1"}, SourceAudio::copy, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(journal.c_str());
        Lines script = c.script;
        for (const char* line : {"flags=3", "frames_l=50"}) script.push_back(line);
        list({plugin(std::string(c.name) + ".so", script)});
        ASSERT_EQ(open("clip.avs", c.audio), 1);
        testing::internal::CaptureStderr();
        const Kept kept = read_all();
        const std::string err = testing::internal::GetCapturedStderr();
        const bool failed = std::string(c.name) == "failed read";
        EXPECT_EQ(err, "WARNING - clip.avs: the audio ends before the video; silence is written for the rest\n");
        ASSERT_EQ(kept.bytes.size(), 88200u * c.block);
        const uint32_t good = failed ? 0 : 30000;
        for (uint32_t p = 0; p < 88200; ++p) {
            for (uint32_t channel = 0; channel < 2; ++channel) {
                const size_t at = (p * 2 + channel) * (c.block / 2);
                int want = 0;
                int got = static_cast<uint8_t>(kept.bytes[at]);
                if (c.block == 4) {
                    int16_t word;
                    std::memcpy(&word, kept.bytes.data() + at, 2);
                    got = word;
                    if (p < good)
                        want = c.audio == SourceAudio::pcm ? (static_cast<uint8_t>(p + 64 * channel) - 128) * 256
                                                           : static_cast<int16_t>(p * 2 + channel);
                } else {
                    want = p < good ? static_cast<uint8_t>(p + 64 * channel) : 0x80;
                }
                ASSERT_EQ(got, want) << "sample " << p << " channel " << channel;
            }
        }
        // The frame that found the end asked for the last time.
        const Lines reads = audio_reads();
        ASSERT_FALSE(reads.empty());
        EXPECT_EQ(reads.size(), failed ? 1u : 5u) << reads.back();
        frame_source_close(source);
        source = FrameSource{};
    }
}

TEST_F(VfapiSourceTest, EightBitAudioIsKeptAsItIsOrMadeSixteenBitForTheEncoder) {
    list({plugin("p.so", {"flags=3", "a_bits=8", "a_channels=1", "a_rate=22050"})});
    ASSERT_EQ(open("clip.avs", SourceAudio::copy), 1);
    ASSERT_EQ(source.audio_count, 1u);
    auto format = static_cast<const WAVEFORMATEX*>(source.audio[0].format);
    EXPECT_EQ(format->wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(format->nChannels, 1);
    EXPECT_EQ(format->nSamplesPerSec, 22050u);
    EXPECT_EQ(format->nAvgBytesPerSec, 22050u);
    EXPECT_EQ(format->nBlockAlign, 1);
    EXPECT_EQ(format->wBitsPerSample, 8);
    EXPECT_EQ(source.audio[0].info.dwSampleSize, 1u);
    frame_source_close(source);

    ASSERT_EQ(open("clip.avs", SourceAudio::pcm), 1);
    ASSERT_EQ(source.audio_count, 1u);
    format = static_cast<const WAVEFORMATEX*>(source.audio[0].format);
    const WAVEFORMATEX want = audio_pcm16_format(22050, 1);
    EXPECT_EQ(std::memcmp(format, &want, sizeof want), 0);
    const Kept kept = read_all();
    ASSERT_EQ(kept.bytes.size(), 22050u * 10 / 25 * 2);
    int16_t first[3];
    std::memcpy(first, kept.bytes.data() + 2 * 127, sizeof first);
    EXPECT_EQ(first[0], -256);  // 127 - 128
    EXPECT_EQ(first[1], 0);
    EXPECT_EQ(first[2], 256);
}

// Audio the output can't be given: the run stops before its output exists,
// with the plug-in unloaded. Without audio asked for, the same input opens.
TEST_F(VfapiSourceTest, AudioDescribedAsNoPcmWeWriteIsRefused) {
    const char* bad[] = {"audio_info=1", "a_channels=0", "a_channels=3", "a_rate=0", "a_scale=0", "a_align=3",
                         "a_bits=12", "a_bits=24", "a_scale=1000", "a_rate=1000000"};
    for (const char* line : bad) {
        SCOPED_TRACE(line);
        std::remove(journal.c_str());
        list({plugin("p.so", {"flags=3", line})});
        testing::internal::CaptureStderr();
        EXPECT_EQ(open("clip.avs", SourceAudio::pcm), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR - Can't read the audio of clip.avs\n");
        EXPECT_EQ(calls().back(), "p.so unload");
        EXPECT_EQ(source.self, nullptr);
        EXPECT_TRUE(audio_reads().empty());
        ASSERT_EQ(open("clip.avs"), 1);
        EXPECT_EQ(source.audio_count, 0u);
        frame_source_close(source);
        source = FrameSource{};
    }
}

// No audio stream, or none asked for: no audio stream described and none
// read (the driver says what it has to about a missing one).
TEST_F(VfapiSourceTest, NoAudioIsReadWhereThereIsNoneOrNoneIsAsked) {
    for (auto [flags, audio] : {std::pair{"flags=1", SourceAudio::copy}, {"flags=3", SourceAudio::none}}) {
        SCOPED_TRACE(flags);
        std::remove(journal.c_str());
        list({plugin("p.so", {flags})});
        testing::internal::CaptureStderr();
        ASSERT_EQ(open("clip.avs", audio), 1);
        EXPECT_EQ(source.audio_count, 0u);
        EXPECT_EQ(source.audio, nullptr);
        const Kept kept = read_all();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        ASSERT_EQ(kept.chunks.size(), 10u);
        for (const auto& chunks : kept.chunks) EXPECT_TRUE(chunks.empty());
        EXPECT_TRUE(audio_reads().empty());
        frame_source_close(source);
        source = FrameSource{};
    }
}

// Through the reader plug-in: an MP4 whose AAC audio starts about 0.3 s
// after its first picture gives silence up to where ffmpeg's decoding of the
// AAC starts, then that decoding to 16 bits (within 1), up to the video's
// end, with the frames.
TEST_F(VfapiSourceTest, TheReaderPluginsAudioComesWithTheFramesAsFfmpegDecodesIt) {
    const std::string video = dir.file("video.mp4"), audio = dir.file("audio.m4a"), clip = dir.file("clip.mp4");
    ASSERT_TRUE(testsupport::make_clip(video, "testsrc2=size=64x48:rate=25", 50, {"-c:v", "mpeg4"}));
    ASSERT_TRUE(testsupport::ffmpeg({"-f", "lavfi", "-i", "aevalsrc=0.5*sin(1000*2*PI*t)|0.3*sin(300*2*PI*t):s=48000",
                                     "-t", "2", "-c:a", "aac", audio}));
    ASSERT_TRUE(testsupport::ffmpeg({"-i", video, "-itsoffset", "0.3", "-i", audio, "-map", "0:v", "-map", "1:a",
                                     "-c", "copy", clip}));
    const std::vector<int16_t> want = testsupport::ffmpeg_pcm16(clip, 2);
    const double later =
        testsupport::ffprobe_first_frame_time(clip, "a") - testsupport::ffprobe_first_frame_time(clip, "v");
    ASSERT_NEAR(later, 0.3, 0.03);
    const auto silence = static_cast<size_t>(std::lround(later * 48000)) * 2;

    testsupport::write_plugin_registry(registry, {{"reader", testsupport::build_dir() + "/vfapi-reader.so"}});
    ASSERT_EQ(open(clip.c_str(), SourceAudio::pcm), 1);
    ASSERT_EQ(source.frame_count, 50u);
    ASSERT_EQ(source.audio_count, 1u);
    const WAVEFORMATEX format = audio_pcm16_format(48000, 2);
    EXPECT_EQ(std::memcmp(source.audio[0].format, &format, sizeof format), 0);
    testing::internal::CaptureStderr();
    const Kept kept = read_all();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(kept.chunks.size(), 50u);
    EXPECT_EQ(kept.chunks[0].size(), 2u);
    ASSERT_EQ(kept.bytes.size(), 96000u * 4) << "two seconds";
    std::vector<int16_t> got(kept.bytes.size() / 2);
    std::memcpy(got.data(), kept.bytes.data(), kept.bytes.size());
    ASSERT_GT(want.size(), got.size() - silence);
    for (size_t i = 0; i < got.size(); ++i) {
        const int expected = i < silence ? 0 : want[i - silence];
        ASSERT_LE(std::abs(got[i] - expected), 1) << "sample " << i / 2 << " channel " << i % 2;
    }
}

}  // namespace
