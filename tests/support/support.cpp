#include "support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testsupport {

namespace {

std::string drain(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    close(fd);
    return text;
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
                          const std::string& working_dir) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");

    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e) env_strings.emplace_back(*e);
    for (const auto& e : extra_env) env_strings.push_back(e);
    std::vector<char*> envp;
    for (auto& e : env_strings) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        if (!working_dir.empty() && chdir(working_dir.c_str()) != 0) _exit(126);
        if (argv[0].find('/') != std::string::npos)
            execve(argp[0], argp.data(), envp.data());
        else
            execvpe(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    ProcessResult result;
    std::thread err_reader([&] { result.err = drain(err_pipe[0]); });
    result.out = drain(out_pipe[0]);
    err_reader.join();
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

ProcessResult run_process_signalled(const std::vector<std::string>& argv, const std::string& trigger,
                                    int signal_number) {
    int err_pipe[2];
    if (pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
    if (signal_number == 0) close(err_pipe[0]);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(err_pipe[1], 2);
        if (signal_number != 0) close(err_pipe[0]);
        execv(argp[0], argp.data());
        _exit(127);
    }
    close(err_pipe[1]);
    ProcessResult result;
    if (signal_number != 0) {
        bool sent = false;
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(err_pipe[0], buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            result.err.append(buffer, static_cast<size_t>(n));
            if (!sent && result.err.find(trigger) != std::string::npos) {
                kill(pid, signal_number);
                sent = true;
            }
        }
        close(err_pipe[0]);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    std::filesystem::path base = std::filesystem::path(build_dir()) / "test-tmp";
    std::filesystem::create_directories(base);
    for (;;) {
        std::ostringstream name;
        name << "t" << getpid() << "-" << counter++;
        std::filesystem::path candidate = base / name.str();
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate.string();
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Keep the folder for a look when the environment asks for it.
    if (!std::getenv("TWOPASS_KEEP_TEST_FILES")) std::filesystem::remove_all(path_, ignored);
}

std::string build_dir() { return TWOPASS_BUILD_DIR; }
std::string source_dir() { return TWOPASS_SOURCE_DIR; }

bool ffmpeg(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-y", "-v", "error"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv).exit_code == 0;
}

bool make_clip(const std::string& path, const std::string& lavfi, int frames,
               const std::vector<std::string>& codec_args) {
    std::vector<std::string> args = {"-f", "lavfi", "-i", lavfi, "-frames:v", std::to_string(frames)};
    args.insert(args.end(), codec_args.begin(), codec_args.end());
    args.push_back(path);
    return ffmpeg(args);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    return out && out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) && out.flush();
}

bool file_exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

}  // namespace testsupport
