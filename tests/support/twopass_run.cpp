#include "tests/support/twopass_run.h"

#include <cstdlib>
#include <regex>
#include <sstream>

namespace testsupport {

std::string twopass_program() { return build_dir() + "/twopass"; }
std::string vfapi_reader_library() { return build_dir() + "/vfapi-reader.so"; }

ProcessResult run_twopass(const std::vector<std::string>& args, const std::string& registry,
                          const std::string& dir) {
    std::vector<std::string> argv = {twopass_program()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, {"TWOPASS_REGISTRY=" + registry}, dir);
}

VideoProbe probe_video(const std::string& path) {
    VideoProbe probe;
    ProcessResult r = run_process({"ffprobe", "-v", "warning", "-select_streams", "v:0", "-count_frames",
                                   "-show_entries", "stream=codec_name,width,height,nb_read_frames", "-of",
                                   "default=noprint_wrappers=1", path});
    probe.warnings = r.err;
    if (r.exit_code != 0) return probe;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "codec_name") probe.codec = value;
        if (key == "width") probe.width = std::atoi(value.c_str());
        if (key == "height") probe.height = std::atoi(value.c_str());
        if (key == "nb_read_frames") probe.frames = std::atoi(value.c_str());
    }
    probe.ok = probe.frames >= 0;
    return probe;
}

double video_psnr(const std::string& a, const std::string& b, const std::string& region) {
    const std::string crop = region.empty() ? "" : ",crop=" + region;
    ProcessResult r = run_process({"ffmpeg", "-nostdin", "-v", "info", "-i", a, "-i", b, "-lavfi",
                                   "[0:v:0]format=bgr24,format=gray" + crop + "[x];[1:v:0]format=bgr24,format=gray" +
                                       crop + "[y];[x][y]psnr",
                                   "-f", "null", "-"});
    std::smatch m;
    static const std::regex average("PSNR y:[^ ]+ average:([0-9.]+|inf)");
    if (r.exit_code != 0 || !std::regex_search(r.err, m, average)) return -1;
    return m[1] == "inf" ? 100.0 : std::atof(m[1].str().c_str());
}

bool make_testsrc_avi(const std::string& path, int width, int height, int frames) {
    const std::string lavfi = "testsrc2=size=" + std::to_string((width + 1) / 2 * 2) + "x" +
                              std::to_string((height + 1) / 2 * 2) + ":rate=25,format=bgr24,crop=" +
                              std::to_string(width) + ":" + std::to_string(height) + ":0:0";
    return make_clip(path, lavfi, frames, {"-c:v", "rawvideo", "-pix_fmt", "bgr24"});
}

bool progress_text_ok(const std::string& err, int total, int last, bool finished, std::string& why) {
    std::string text = err;
    static const std::regex finish_line("\nfinish!! total time: [0-9]{2}:[0-9]{2}:[0-9]{2}\n$");
    if (finished) {
        std::smatch m;
        if (!std::regex_search(text, m, finish_line)) {
            why = "no finish line at the end";
            return false;
        }
        text.erase(static_cast<size_t>(m.position(0)));
    }
    std::vector<std::string> pieces;
    std::istringstream in(text);
    std::string piece;
    while (std::getline(in, piece, '\r')) pieces.push_back(piece);
    if (pieces.empty() || !pieces[0].empty()) {
        why = "text before the first progress line";
        return false;
    }
    // The rest time follows the clock: with a huge frame count it runs to
    // hundreds of days, and past 2^31 seconds the 32-bit estimate turns negative.
    static const std::regex line(
        "frame: ([ 0-9]{6}|[0-9]{7,})/([ 0-9]{6}|[0-9]{7,}), rest time: [-0-9]{2,}:[-0-9]{2,}:[-0-9]{2,}, "
        "estimate size: ([ 0-9]{4}   |[ 0-9]{4}\\. [KM]|[0-9]\\.[0-9]{3} [KMG]|[ 0-9]{2}\\.[0-9]{2} [KM]|"
        "[ 0-9]{3}\\.[0-9] [KM])");
    for (size_t i = 1; i < pieces.size(); ++i) {
        std::smatch m;
        if (!std::regex_match(pieces[i], m, line)) {
            why = "not a progress line: [" + pieces[i] + "]";
            return false;
        }
        if (std::atoi(m[1].str().c_str()) != static_cast<int>(i) || std::atoi(m[2].str().c_str()) != total) {
            why = "wrong counts in [" + pieces[i] + "]";
            return false;
        }
    }
    if (static_cast<int>(pieces.size()) - 1 != last) {
        why = std::to_string(pieces.size() - 1) + " progress lines";
        return false;
    }
    return true;
}

}  // namespace testsupport
