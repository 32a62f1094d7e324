#include "pcm_reference.h"

#include <cstring>

#include "support.h"

namespace testsupport {

double ffprobe_first_frame_time(const std::string& path, const char* kind) {
    ProcessResult r = run_process({"ffprobe", "-v", "error", "-select_streams", std::string(kind) + ":0",
                                   "-show_entries", "frame=pts_time", "-of", "csv=p=0", path});
    return r.exit_code == 0 && !r.out.empty() ? std::stod(r.out) : -1.0;
}

std::vector<int16_t> ffmpeg_pcm16(const std::string& path, int channels) {
    ProcessResult r = run_process({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:a:0", "-f", "s16le",
                                   "-ac", std::to_string(channels), "-"});
    std::vector<int16_t> samples(r.exit_code == 0 ? r.out.size() / 2 : 0);
    if (!samples.empty()) std::memcpy(samples.data(), r.out.data(), samples.size() * 2);
    return samples;
}

}  // namespace testsupport
