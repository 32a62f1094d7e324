// Running the built twopass and looking at what it wrote, for the
// end-to-end suites.
#pragma once

#include <string>
#include <vector>

#include "tests/support/support.h"

namespace testsupport {

std::string twopass_program();       // build/twopass
std::string vfapi_reader_library();  // build/vfapi-reader.so

// Runs twopass with args in dir; registry is the file the registry stand-in reads.
ProcessResult run_twopass(const std::vector<std::string>& args, const std::string& registry,
                          const std::string& dir = "");

struct VideoProbe {
    bool ok = false;
    std::string codec;  // ffprobe's codec name
    int width = 0;
    int height = 0;
    int frames = -1;    // frames ffprobe decoded
    std::string warnings;  // what "ffprobe -v warning" printed while reading
};
VideoProbe probe_video(const std::string& path);

// Average PSNR (dB) of the video of a against that of b over the frames both
// have, of the luminance of the pictures as shown (each turned into RGB by
// ffmpeg, as a player does, then both measured alike), so that neither
// side's own YUV conversion is the yardstick; 100 for identical pictures, -1
// when it can't be computed.
// region, when given, is an ffmpeg crop ("w:h:x:y") applied to both first.
double video_psnr(const std::string& a, const std::string& b, const std::string& region = "");

// A raw bgr24 AVI of frames of testsrc2 at any size (the source itself makes
// only even sizes: it is cropped from the next even size).
bool make_testsrc_avi(const std::string& path, int width, int height, int frames);

// Splits progress text on carriage returns; true when every piece after the
// first (empty) one is a progress line as twopass prints it for total frames,
// the counts go 1, 2, ... without gaps up to last, and the text ends with the
// finish line when finished is set. why says what did not fit.
bool progress_text_ok(const std::string& err, int total, int last, bool finished, std::string& why);

}  // namespace testsupport
