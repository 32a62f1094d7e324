// twopass keeping the audio of its input (-a, -m): streams copied packet for
// packet, MP3 that decodes to what went in, interleaved as players expect,
// in step with the video, and errors before the output exists.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/avi_probe.h"
#include "tests/support/twopass_run.h"

namespace {

using namespace testsupport;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) lines.push_back(text.substr(at, end - at));
    return lines;
}

// Size and checksum of every packet of audio stream n as ffmpeg demuxes it.
std::vector<std::string> audio_packets(const std::string& path, int n) {
    ProcessResult r = run_process({"ffmpeg", "-v", "error", "-i", path, "-map", "0:a:" + std::to_string(n), "-c",
                                   "copy", "-f", "framemd5", "-"});
    std::vector<std::string> packets;
    if (r.exit_code != 0) return packets;
    for (const std::string& line : lines_of(r.out)) {
        if (line.empty() || line[0] == '#') continue;
        // stream, dts, pts, duration, size, hash: the last two are the packet's bytes.
        size_t comma = line.size();
        for (int i = 0; i < 2 && comma != std::string::npos; ++i) comma = line.rfind(',', comma - 1);
        packets.push_back(line.substr(comma + 1));
    }
    return packets;
}

std::string audio_field(const std::string& path, int n, const std::string& field) {
    ProcessResult r = run_process({"ffprobe", "-v", "error", "-select_streams", "a:" + std::to_string(n),
                                   "-show_entries", "stream=" + field, "-of", "default=nw=1:nk=1", path});
    return r.exit_code == 0 && !r.out.empty() ? r.out.substr(0, r.out.find('\n')) : "";
}

int audio_stream_count(const std::string& path) {
    ProcessResult r = run_process({"ffprobe", "-v", "error", "-select_streams", "a", "-show_entries",
                                   "stream=index", "-of", "csv=p=0", path});
    return static_cast<int>(lines_of(r.out).size());
}

// Audio stream n decoded to mono 16-bit samples at rate.
std::vector<int16_t> decoded_audio(const std::string& path, int n, int rate) {
    ProcessResult r = run_process({"ffmpeg", "-v", "error", "-i", path, "-map", "0:a:" + std::to_string(n), "-ac",
                                   "1", "-ar", std::to_string(rate), "-f", "s16le", "-"});
    std::vector<int16_t> samples(r.out.size() / 2);
    if (r.exit_code == 0) std::memcpy(samples.data(), r.out.data(), samples.size() * 2);
    return samples;
}

// The chunk ids of the file's movi lists in file order, "rec " lists opened.
std::vector<std::pair<std::string, uint32_t>> movi_chunks(const std::string& file) {
    std::vector<std::pair<std::string, uint32_t>> chunks;
    size_t at = file.find("movi");
    if (at == std::string::npos) return chunks;
    for (at += 4; at + 8 <= file.size();) {
        uint32_t size;
        std::memcpy(&size, file.data() + at + 4, 4);
        const std::string id = file.substr(at, 4);
        if (id == "idx1") break;
        chunks.emplace_back(id, size);
        at += 8 + size + (size & 1);
    }
    return chunks;
}

// The offset of the first audio stream's strh data in an AVI file's bytes
// (after "strh", its size and then "auds"), npos without one.
size_t audio_strh(const std::string& file) {
    for (size_t at = file.find("strh"); at != std::string::npos; at = file.find("strh", at + 4))
        if (file.compare(at + 8, 4, "auds") == 0) return at + 8;
    return std::string::npos;
}

struct AudioInput {
    const char* name;
    std::vector<std::string> audio;  // ffmpeg options for the audio of the clip
    int streams;
};

// 2 s of 25 fps video and 1.8 s of audio (shorter: nothing is cut).
bool make_audio_clip(const std::string& path, const AudioInput& input) {
    std::vector<std::string> args = {"-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25", "-f", "lavfi", "-i",
                                     "sine=frequency=440:sample_rate=48000:duration=1.8,aformat=channel_layouts=stereo",
                                     "-f", "lavfi", "-i", "sine=frequency=880:sample_rate=44100:duration=1.8",
                                     "-map", "0:v", "-map", "1:a"};
    if (input.streams == 2) args.insert(args.end(), {"-map", "2:a"});
    args.insert(args.end(), {"-frames:v", "50", "-c:v", "mjpeg"});
    args.insert(args.end(), input.audio.begin(), input.audio.end());
    args.push_back(path);
    return ffmpeg(args);
}

class TwopassAudio : public ::testing::Test {
protected:
    TempDir dir;
    std::string registry = dir.file("registry.reg");
};

TEST_F(TwopassAudio, EveryAudioStreamIsCopiedPacketForPacketWithItsStart) {
    const std::vector<AudioInput> inputs = {
        {"pcm", {"-c:a", "pcm_s16le"}, 1},
        {"mp3_cbr", {"-c:a", "libmp3lame", "-b:a", "128k"}, 1},
        {"mp3_vbr", {"-c:a", "libmp3lame", "-q:a", "4"}, 1},
        {"ac3", {"-c:a", "ac3"}, 1},
        {"two_streams", {"-c:a:0", "pcm_s16le", "-c:a:1", "libmp3lame"}, 2},
    };
    for (const AudioInput& input : inputs) {
        SCOPED_TRACE(input.name);
        const std::string in = dir.file(std::string(input.name) + ".avi");
        const std::string out = dir.file(std::string(input.name) + "_out.avi");
        ASSERT_TRUE(make_audio_clip(in, input));
        ProcessResult r = run_twopass({"-q", "-a", in, out}, registry);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(ffprobe_complaints(out), "");
        // ffmpeg may keep a frame's place with an empty chunk (ahead of MP3's
        // delay); it is a frame of the input all the same.
        EXPECT_EQ(std::to_string(probe_video(out).frames), ffprobe_stream_field(in, "nb_frames"));
        ASSERT_EQ(audio_stream_count(out), input.streams);
        for (int n = 0; n < input.streams; ++n) {
            const std::vector<std::string> want = audio_packets(in, n);
            EXPECT_FALSE(want.empty());
            EXPECT_EQ(audio_packets(out, n), want) << "stream " << n;
            EXPECT_EQ(audio_field(out, n, "codec_name"), audio_field(in, n, "codec_name"));
            const std::string a = "a:" + std::to_string(n);
            EXPECT_EQ(ffprobe_first_packet_time(out, a), ffprobe_first_packet_time(in, a));
        }
    }
}

TEST_F(TwopassAudio, AudioRunsHalfASecondAheadOfTheVideoAndEndsWithIt) {
    // 3 s of PCM beside 2 s of video: the last second is cut.
    const std::string in = dir.file("long.avi"), out = dir.file("out.avi");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25:duration=2", "-f", "lavfi", "-i",
                        "sine=frequency=440:sample_rate=48000:duration=3", "-c:v", "mjpeg", "-c:a", "pcm_s16le", in}));
    ASSERT_EQ(ffprobe_stream_field(in, "nb_frames"), "50");
    ProcessResult r = run_twopass({"-q", "-a", in, out}, registry);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(ffprobe_complaints(out), "");
    const auto chunks = movi_chunks(read_file(out));
    ASSERT_FALSE(chunks.empty());
    // Mono 16-bit at 48 kHz: 96000 bytes a second; each frame is 40 ms.
    const double lead = 0.5, frame = 0.04, bytes_per_second = 96000;
    const double input_chunk = 1024 * 2 / bytes_per_second;  // ffmpeg's PCM chunks
    double audio = 0;
    int frames = 0;
    for (const auto& [id, size] : chunks) {
        if (id == "01wb") {
            audio += size / bytes_per_second;
        } else if (id == "00dc") {
            // Before frame k: at least the audio up to its end plus the lead
            // (or all there is), and no more than a chunk beyond.
            const double due = std::min((frames + 1) * frame + lead, 2.0);
            EXPECT_GE(audio + 1e-9, due) << "frame " << frames;
            EXPECT_LT(audio, due + input_chunk + 1e-9) << "frame " << frames;
            ++frames;
        }
    }
    EXPECT_EQ(frames, 50);
    EXPECT_LT(audio, 2.0 + input_chunk);
    const std::string head = read_head(out, 64);
    uint32_t flags;
    std::memcpy(&flags, head.data() + 32 + 12, 4);  // avih dwFlags
    EXPECT_NE(flags & 0x100, 0u) << "AVIF_ISINTERLEAVED";
}

TEST_F(TwopassAudio, Mp3IsEncodedAtTheRateAskedAndDecodesToWhatWentIn) {
    struct Row {
        const char* option;
        int sample_rate;
        int channels;
        const char* bit_rate;  // what ffprobe says
    };
    const std::vector<Row> rows = {
        {"128", 48000, 2, "128000"},
        {"100", 44100, 1, "96000"},   // rounded to the nearest rate MPEG-1 has
        {"320", 22050, 2, "160000"},  // the highest MPEG-2 has
        {"5", 48000, 2, "32000"},     // clamped
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.option);
        const std::string in = dir.file("sine.avi"), out = dir.file("mp3.avi");
        // A 1 kHz sine at -6 dBFS (amplitude 0.5).
        const std::string sine = "aevalsrc=0.5*sin(2*PI*1000*t):s=" + std::to_string(row.sample_rate) +
                                 (row.channels == 2 ? ":c=stereo" : ":c=mono");
        ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25", "-f", "lavfi", "-i", sine, "-t",
                            "4", "-c:v", "mjpeg", "-c:a", "pcm_s16le", in}));
        ProcessResult r = run_twopass({"-q", "-m", row.option, in, out}, registry);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(ffprobe_complaints(out), "");
        EXPECT_EQ(audio_field(out, 0, "codec_name"), "mp3");
        EXPECT_EQ(audio_field(out, 0, "bit_rate"), row.bit_rate);
        EXPECT_EQ(audio_field(out, 0, "sample_rate"), std::to_string(row.sample_rate));
        const std::vector<int16_t> pcm = decoded_audio(out, 0, row.sample_rate);
        // Within one MP3 frame (1152 or 576 samples) and the encoder's delay of the video's 4 s.
        const double seconds = static_cast<double>(pcm.size()) / row.sample_rate;
        EXPECT_NEAR(seconds, 4.0, 2 * 1152.0 / row.sample_rate);
        // Level and frequency over the middle two seconds.
        const size_t from = row.sample_rate, to = 3 * row.sample_rate;
        ASSERT_GT(pcm.size(), to);
        double energy = 0;
        int crossings = 0;
        for (size_t i = from; i < to; ++i) {
            energy += static_cast<double>(pcm[i]) * pcm[i];
            if ((pcm[i - 1] < 0) != (pcm[i] < 0)) ++crossings;
        }
        const double rms = std::sqrt(energy / (to - from)) / 32768.0;
        EXPECT_NEAR(20 * std::log10(rms * std::sqrt(2.0)), -6.02, 0.5);
        EXPECT_NEAR(crossings / 2.0 / 2.0, 1000.0, 1.0);
    }
}

TEST_F(TwopassAudio, ClicksStayOnTheirFlashesToTheEnd) {
    // A white frame every 2 s and a 1 ms click at the same moments, for 60 s;
    // the audio starts 0.25 s into the file (its initial skew).
    const std::string in = dir.file("flash.avi"), out_pcm = dir.file("pcm.avi"), out_mp3 = dir.file("mp3.avi");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i",
                        "color=black:size=64x48:rate=25,geq=lum='if(eq(mod(N\\,50)\\,0)\\,235\\,16)':cb=128:cr=128",
                        "-f", "lavfi", "-i", "aevalsrc='if(lt(mod(t+0.25\\,2)\\,0.001)\\,0.9\\,0)':s=48000:d=59.75",
                        "-frames:v", "1500", "-c:v", "mjpeg", "-c:a", "pcm_s16le", in}));
    // strh of the audio stream: dwStart at its data + 28, in samples.
    std::string file = read_file(in);
    const size_t strh = audio_strh(file);
    ASSERT_NE(strh, std::string::npos);
    const uint32_t start = 12000;
    std::memcpy(&file[strh + 28], &start, 4);
    FILE* f = std::fopen(in.c_str(), "wb");
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
    ASSERT_EQ(ffprobe_first_packet_time(in, "a:0"), "0.250000");

    ASSERT_EQ(run_twopass({"-q", "-a", in, out_pcm}, registry).exit_code, 0);
    ASSERT_EQ(run_twopass({"-q", "-m", "192", in, out_mp3}, registry).exit_code, 0);
    for (const auto& [out, tolerance] : {std::pair{out_pcm, 0.001}, std::pair{out_mp3, 0.04}}) {
        SCOPED_TRACE(out);
        EXPECT_EQ(ffprobe_complaints(out), "");
        const double audio_start = std::stod(ffprobe_first_packet_time(out, "a:0"));
        const std::vector<int16_t> pcm = decoded_audio(out, 0, 48000);
        std::vector<double> clicks;
        for (size_t i = 0; i < pcm.size(); ++i) {
            if (std::abs(pcm[i]) < 8000) continue;
            const double t = audio_start + static_cast<double>(i) / 48000;
            if (clicks.empty() || t - clicks.back() > 1.0) clicks.push_back(t);
        }
        // Flashes at 2, 4, ... 58 s (the first click lies before the audio starts).
        ASSERT_EQ(clicks.size(), 29u);
        for (size_t k = 0; k < clicks.size(); ++k) EXPECT_NEAR(clicks[k], 2.0 * (k + 1), tolerance) << k;
    }
}

TEST_F(TwopassAudio, InputsWithoutUsableAudio) {
    const std::string video_only = dir.file("silent.avi"), out = dir.file("out.avi");
    ASSERT_TRUE(make_clip(video_only, "testsrc2=size=96x64:rate=25", 5, {"-c:v", "mjpeg"}));
    for (const char* option : {"-a", "-m128"}) {
        ProcessResult r = run_twopass({"-q", option, video_only, out}, registry);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "WARNING - " + video_only + " has no audio\n");
        EXPECT_EQ(audio_stream_count(out), 0);
        EXPECT_EQ(probe_video(out).frames, 5);
    }

    // Audio whose format no decoder knows: copied as it is, refused for MP3
    // before the output exists.
    const std::string odd = dir.file("odd.avi"), odd_out = dir.file("odd_out.avi");
    AudioInput pcm{"pcm", {"-c:a", "pcm_s16le"}, 1};
    ASSERT_TRUE(make_audio_clip(odd, pcm));
    std::string file = read_file(odd);
    const size_t strf = file.find("strf", audio_strh(file));
    ASSERT_NE(strf, std::string::npos);
    file[strf + 8] = 0x34;
    file[strf + 9] = 0x12;
    FILE* f = std::fopen(odd.c_str(), "wb");
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
    ProcessResult copied = run_twopass({"-q", "-a", odd, odd_out}, registry);
    EXPECT_EQ(copied.exit_code, 0) << copied.err;
    EXPECT_EQ(audio_packets(odd_out, 0).size(), audio_packets(odd, 0).size());
    std::remove(odd_out.c_str());
    ProcessResult refused = run_twopass({"-q", "-m", "128", odd, odd_out}, registry);
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_NE(refused.err.find("ERROR - Can't decode the audio of " + odd), std::string::npos) << refused.err;
    EXPECT_FALSE(file_exists(odd_out));
}

double duration_of(const std::string& path, const std::string& stream) {
    ProcessResult r = run_process({"ffprobe", "-v", "error", "-select_streams", stream, "-show_entries",
                                   "packet=pts_time,duration_time", "-of", "csv=p=0", path});
    double end = 0;
    for (const std::string& line : lines_of(r.out)) {
        const size_t comma = line.find(',');
        if (comma == std::string::npos) continue;
        end = std::max(end, std::stod(line.substr(0, comma)) + std::stod(line.substr(comma + 1)));
    }
    return end;
}

TEST_F(TwopassAudio, AStopOrAFullDiskKeepsTheAudioOfTheFramesWritten) {
    const std::string in = dir.file("in.avi");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i",
                        "sine=frequency=440:sample_rate=48000", "-frames:v", "400", "-t", "16", "-c:v", "rawvideo",
                        "-pix_fmt", "bgr24", "-c:a", "pcm_s16le", in}));
    for (const char* option : {"-a", "-m128"}) {
        SCOPED_TRACE(option);
        const std::string full = dir.file(std::string("full") + option + ".avi");
        ProcessResult r = run_process({"bash", "-c", "ulimit -f 400; exec \"$0\" -q \"$@\"", twopass_program(),
                                       option, in, full});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.err.find("ERROR - Can't write frame"), std::string::npos) << r.err;
        const std::string stopped = dir.file(std::string("stopped") + option + ".avi");
        ProcessResult s = run_process_signalled({twopass_program(), option, in, stopped}, "frame:     40/", SIGINT);
        EXPECT_EQ(s.exit_code, 1) << s.err;
        for (const std::string& out : {full, stopped}) {
            SCOPED_TRACE(out);
            EXPECT_EQ(ffprobe_complaints(out), "");
            const double video = duration_of(out, "v:0");
            EXPECT_GT(video, 0.0);
            // Every frame's audio, at most the lead beyond, with the frame the
            // disk refused (its audio goes in just ahead of it: 40 ms) and a
            // copied chunk (21 ms) or an MP3 frame (24 ms) running over.
            const double audio = duration_of(out, "a:0");
            EXPECT_GE(audio + 0.03, video);
            EXPECT_LE(audio, video + 0.5 + 0.04 + 0.025);
        }
    }
}

TEST_F(TwopassAudio, GStreamersDemuxerReadsBothStreamsToTheEnd) {
    const std::string in = dir.file("in.avi");
    AudioInput pcm{"pcm", {"-c:a", "pcm_s16le"}, 1};
    ASSERT_TRUE(make_audio_clip(in, pcm));
    for (const char* option : {"-a", "-m128"}) {
        SCOPED_TRACE(option);
        const std::string out = dir.file(std::string("out") + option + ".avi");
        ASSERT_EQ(run_twopass({"-q", option, in, out}, registry).exit_code, 0);
        ProcessResult r = run_process({"gst-launch-1.0", "-q", "filesrc", "location=" + out, "!", "avidemux",
                                       "name=d", "d.video_0", "!", "queue", "!", "fakesink", "d.audio_0", "!",
                                       "queue", "!", "decodebin", "!", "audioconvert", "!", "fakesink"});
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        EXPECT_EQ(r.err.find("WARNING"), std::string::npos) << r.err;
    }
}

}  // namespace
