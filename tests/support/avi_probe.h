// Checks of AVI files with the ffprobe and ffmpeg programs, and test pictures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// What `ffprobe -v warning` prints about the file (empty when it has no complaint).
std::string ffprobe_complaints(const std::string& path);
// One entry per packet of the first video stream: true for a key frame.
std::vector<bool> ffprobe_key_flags(const std::string& path);
// Frames of the first video stream that ffmpeg decodes, or -1 when it fails.
int ffmpeg_decoded_frames(const std::string& path);
// A field of the first video stream as ffprobe shows it (e.g. "r_frame_rate",
// "nb_frames", or "stream_tags=title" for a tag).
std::string ffprobe_stream_field(const std::string& path, const std::string& field);
// The same for any stream: selector as ffprobe takes it ("v:0", "a:1").
std::string ffprobe_field(const std::string& path, const std::string& selector, const std::string& field);
// The packets of a stream as ffmpeg's demuxer gives them: their sizes, and
// their bytes one after the other (`-map 0:<selector> -c copy -f data`).
std::vector<std::uint32_t> ffprobe_packet_sizes(const std::string& path, const std::string& selector);
std::string ffmpeg_packet_data(const std::string& path, const std::string& selector);
// `ffmpeg -map 0:<selector> -c copy -f framemd5`: each packet's time, size and
// checksum (empty when ffmpeg fails or complains).
std::string ffmpeg_framemd5(const std::string& path, const std::string& selector);
// The time of a stream's first packet as ffprobe shows it ("0.010000"):
// where a stream's dwStart shows (ffmpeg's AVI reader keeps start_time 0).
std::string ffprobe_first_packet_time(const std::string& path, const std::string& selector);
// Packets of a stream that ffprobe counts reading the whole file, -1 on failure.
long ffprobe_packet_count(const std::string& path, const std::string& selector);
// A field of the first audio stream as ffprobe shows it (e.g. "codec_name",
// "sample_rate", "bit_rate"); empty when there is none.
std::string ffprobe_audio_field(const std::string& path, const std::string& field);
// ffmpeg's decoding of the first audio stream as interleaved signed 16-bit
// little-endian samples; empty on failure or without audio.
std::string ffmpeg_audio_s16le(const std::string& path);
// ffmpeg's decoding of the first video stream as bottom-up bgr24 frames of
// width * 3 bytes per row, one string per frame; empty on failure.
std::vector<std::string> ffmpeg_bgr24_frames(const std::string& path, int width, int height);

// For each frame of encoded as ffmpeg decodes it, the number of the frame of
// reference it is nearest to (highest PSNR); empty when either can't be read.
std::vector<int> nearest_frames(const std::string& encoded, const std::string& reference, int width, int height);

// The first `bytes` bytes of a file (fewer when it is shorter).
std::string read_head(const std::string& path, std::size_t bytes);

// A deterministic test picture, bottom-up bgr24 rows of width * 3 bytes.
std::vector<std::uint8_t> test_picture(int width, int height, int index);

}  // namespace testsupport
