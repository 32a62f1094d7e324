#include "avi_probe.h"

#include <cstdio>
#include <sstream>

#include "support.h"

namespace testsupport {

std::string ffprobe_complaints(const std::string& path) {
    ProcessResult r = run_process({"ffprobe", "-v", "warning", "-hide_banner", path});
    if (r.exit_code != 0) return "ffprobe failed: " + r.err;
    return r.err;
}

std::vector<bool> ffprobe_key_flags(const std::string& path) {
    ProcessResult r = run_process({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                   "packet=flags", "-of", "csv=p=0", path});
    std::vector<bool> keys;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) keys.push_back(line[0] == 'K');
    return keys;
}

int ffmpeg_decoded_frames(const std::string& path) {
    ProcessResult r = run_process({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                                   "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", path});
    if (r.exit_code != 0 || !r.err.empty()) return -1;
    try {
        return std::stoi(r.out);
    } catch (...) {
        return -1;
    }
}

std::string ffprobe_stream_field(const std::string& path, const std::string& field) {
    return ffprobe_field(path, "v:0", field);
}

std::string ffprobe_field(const std::string& path, const std::string& selector, const std::string& field) {
    // "stream_tags=title" names a section of its own; plain names are fields of "stream".
    std::string entries = field.find('=') == std::string::npos ? "stream=" + field : field;
    ProcessResult r = run_process({"ffprobe", "-v", "error", "-select_streams", selector, "-show_entries", entries,
                                   "-of", "default=nw=1:nk=1", path});
    std::string out = r.out;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

std::vector<std::uint32_t> ffprobe_packet_sizes(const std::string& path, const std::string& selector) {
    ProcessResult r = run_process({"ffprobe", "-v", "error", "-select_streams", selector, "-show_entries",
                                   "packet=size", "-of", "csv=p=0", path});
    std::vector<std::uint32_t> sizes;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) sizes.push_back(static_cast<std::uint32_t>(std::stoul(line)));
    return sizes;
}

std::string ffmpeg_packet_data(const std::string& path, const std::string& selector) {
    ProcessResult r = run_process(
        {"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:" + selector, "-c", "copy", "-f", "data", "-"});
    return r.exit_code == 0 && r.err.empty() ? r.out : "ffmpeg failed: " + r.err;
}

std::string ffmpeg_framemd5(const std::string& path, const std::string& selector) {
    ProcessResult r = run_process({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:" + selector, "-c",
                                   "copy", "-f", "framemd5", "-"});
    return r.exit_code == 0 && r.err.empty() ? r.out : "";
}

std::string ffprobe_first_packet_time(const std::string& path, const std::string& selector) {
    ProcessResult r = run_process({"ffprobe", "-v", "error", "-select_streams", selector, "-read_intervals", "%+#1",
                                   "-show_entries", "packet=pts_time", "-of", "csv=p=0", path});
    std::string out = r.out;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

long ffprobe_packet_count(const std::string& path, const std::string& selector) {
    ProcessResult r = run_process({"ffprobe", "-v", "error", "-count_packets", "-select_streams", selector,
                                   "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", path});
    if (r.exit_code != 0 || !r.err.empty()) return -1;
    try {
        return std::stol(r.out);
    } catch (...) {
        return -1;
    }
}

std::string ffprobe_audio_field(const std::string& path, const std::string& field) {
    return ffprobe_field(path, "a:0", field);
}

std::string ffmpeg_audio_s16le(const std::string& path) {
    ProcessResult r = run_process({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:a:0", "-f", "s16le",
                                   "-c:a", "pcm_s16le", "-"});
    return r.exit_code == 0 ? r.out : std::string();
}

std::vector<std::string> ffmpeg_bgr24_frames(const std::string& path, int width, int height) {
    ProcessResult r = run_process({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:v:0", "-f", "rawvideo",
                                   "-pix_fmt", "bgr24", "-vf", "vflip", "-"});
    std::vector<std::string> frames;
    const std::size_t frame = static_cast<std::size_t>(width) * height * 3;
    if (r.exit_code != 0 || frame == 0 || r.out.size() % frame != 0) return frames;
    for (std::size_t at = 0; at < r.out.size(); at += frame) frames.push_back(r.out.substr(at, frame));
    return frames;
}

std::vector<int> nearest_frames(const std::string& encoded, const std::string& reference, int width, int height) {
    const std::vector<std::string> got = ffmpeg_bgr24_frames(encoded, width, height);
    const std::vector<std::string> want = ffmpeg_bgr24_frames(reference, width, height);
    std::vector<int> nearest;
    if (want.empty()) return nearest;
    for (const std::string& g : got) {
        // The least squared error is the highest PSNR.
        double best = -1;
        int at = -1;
        for (std::size_t k = 0; k < want.size(); ++k) {
            double error = 0;
            for (std::size_t i = 0; i < g.size(); ++i) {
                const int d = static_cast<std::uint8_t>(g[i]) - static_cast<std::uint8_t>(want[k][i]);
                error += d * d;
            }
            if (at < 0 || error < best) {
                best = error;
                at = static_cast<int>(k);
            }
        }
        nearest.push_back(at);
    }
    return nearest;
}

std::string read_head(const std::string& path, std::size_t bytes) {
    std::string head(bytes, '\0');
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return {};
    head.resize(std::fread(head.data(), 1, bytes, f));
    std::fclose(f);
    return head;
}

std::vector<std::uint8_t> test_picture(int width, int height, int index) {
    std::vector<std::uint8_t> p(static_cast<std::size_t>(width) * height * 3);
    std::uint32_t seed = 2166136261u ^ static_cast<std::uint32_t>(index);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* px = &p[(static_cast<std::size_t>(y) * width + x) * 3];
            seed = seed * 1664525u + 1013904223u;
            px[0] = static_cast<std::uint8_t>(x * 4 + index * 7);
            px[1] = static_cast<std::uint8_t>(y * 3 + index * 5);
            px[2] = static_cast<std::uint8_t>((seed >> 24) & 0x3F) + static_cast<std::uint8_t>((x ^ y) & 0x80);
        }
    return p;
}

}  // namespace testsupport
