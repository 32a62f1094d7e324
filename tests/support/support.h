// Helpers shared by the test suites.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
    int exit_code = -1;     // the program's exit status; -1 when it did not exit normally
    int signal = 0;         // the signal that ended it, if one did
    std::string out;        // everything written to standard output
    std::string err;        // everything written to standard error
};

// Runs argv[0] (a path, or a name looked up on PATH) with the given arguments
// and waits for it. Extra environment entries ("NAME=value") are added.
ProcessResult run_process(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env = {},
                          const std::string& working_dir = "");

// Runs argv as run_process does (the program's path in argv[0]), sends it
// signal_number once its standard error shows trigger, and waits for it. A
// signal of 0 sends nothing and instead runs it with standard error a pipe
// that nobody reads, closed before the program starts.
ProcessResult run_process_signalled(const std::vector<std::string>& argv, const std::string& trigger,
                                    int signal_number);

// A fresh empty folder under the build tree, removed when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string build_dir();   // the CMake build folder
std::string source_dir();  // the project's top folder

// Runs ffmpeg with the given arguments (after "-y -v error"); true when it succeeded.
bool ffmpeg(const std::vector<std::string>& args);
// Makes a clip with ffmpeg's lavfi source, e.g. lavfi = "testsrc2=size=320x240:rate=25",
// frames = frame count, codec_args = the output options (e.g. {"-c:v", "rawvideo", "-pix_fmt", "bgr24"}).
bool make_clip(const std::string& path, const std::string& lavfi, int frames,
               const std::vector<std::string>& codec_args);

std::string read_file(const std::string& path);
// Makes path hold exactly bytes; true when it could be written.
bool write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);

}  // namespace testsupport
