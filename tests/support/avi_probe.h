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
