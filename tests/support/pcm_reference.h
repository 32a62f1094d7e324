// ffmpeg's own view of a file's audio, to compare the samples our readers
// give with: where it starts, and its decoding to 16-bit PCM.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// The time, in seconds, of the first frame ffmpeg decodes from the first
// stream of kind ("a" or "v") of path; -1 when there is none.
double ffprobe_first_frame_time(const std::string& path, const char* kind);

// ffmpeg's decoding of the first audio stream of path to interleaved 16-bit
// samples of channels (mixed down or up as ffmpeg does); empty on failure.
std::vector<int16_t> ffmpeg_pcm16(const std::string& path, int channels);

}  // namespace testsupport
