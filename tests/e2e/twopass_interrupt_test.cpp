// Ctrl-C during a run: the AVI written so far is completed and readable, the
// source is closed, and twopass ends with exit code 1.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <regex>
#include <string>

#include "tests/support/scripted_plugin.h"
#include "tests/support/twopass_run.h"

namespace {

using namespace testsupport;

// The largest "frame: N/" count in the progress text, 0 when none.
int last_progress_count(const std::string& err) {
    static const std::regex count("frame: +([0-9]+)/");
    int last = 0;
    for (auto it = std::sregex_iterator(err.begin(), err.end(), count); it != std::sregex_iterator(); ++it)
        last = std::max(last, std::stoi((*it)[1].str()));
    return last;
}

struct Interrupted {
    int status = 0;
    std::string err;
    int count_at_signal = 0;
};

// Starts twopass, sends the signal once its progress shows at least
// min_frames frames (after calling meanwhile, when given), and collects the
// rest of its output.
Interrupted interrupt_run(const std::vector<std::string>& args, const std::string& registry, int min_frames,
                          int signal_number, const std::function<void()>& meanwhile = {}) {
    Interrupted result;
    int err_pipe[2];
    if (pipe(err_pipe) != 0) return result;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(err_pipe[1], 2);
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        close(err_pipe[0]);
        setenv("TWOPASS_REGISTRY", registry.c_str(), 1);
        std::vector<char*> argv;
        std::string program = twopass_program();
        argv.push_back(program.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(err_pipe[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    bool signalled = false;
    char buffer[4096];
    for (;;) {
        pollfd p{err_pipe[0], POLLIN, 0};
        if (poll(&p, 1, 200) > 0) {
            ssize_t n = read(err_pipe[0], buffer, sizeof buffer);
            if (n <= 0) break;
            result.err.append(buffer, static_cast<size_t>(n));
        }
        if (!signalled && last_progress_count(result.err) >= min_frames) {
            if (meanwhile) meanwhile();
            result.count_at_signal = last_progress_count(result.err);
            kill(pid, signal_number);
            signalled = true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            break;
        }
    }
    close(err_pipe[0]);
    waitpid(pid, &result.status, 0);
    return result;
}

// Ctrl-C, a request to terminate or to quit, a user signal and a hang-up all
// complete the file; a kill leaves the frames to a reader that scans and the
// log complete up to its last line.
TEST(TwopassInterrupt, CtrlCCompletesTheFileWithTheFramesWrittenAndClosesTheSource) {
    ASSERT_FALSE(scripted_plugin_library().empty());
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGKILL}) {
        SCOPED_TRACE(strsignal(signal_number));
        TempDir dir;
        // A source with more frames than any test waits for.
        const std::string journal = dir.file("journal");
        const std::string plugin = install_scripted_plugin(
            dir.path(), "endless.so", {"width=320", "height=240", "frames_h=1", "journal=" + journal});
        const std::string registry = dir.file("registry.reg");
        write_plugin_registry(registry, {{"endless", plugin}});
        const std::string out = dir.file("out.avi");

        Interrupted run = interrupt_run({"-l", dir.file("input.aup"), out}, registry, 8, signal_number);
        ASSERT_GE(run.count_at_signal, 8) << run.err;
        EXPECT_EQ(run.err.find("finish!!"), std::string::npos);
        const std::vector<std::string> log = read_lines(dir.file("out.log"));
        if (signal_number == SIGKILL) {
            ASSERT_TRUE(WIFSIGNALED(run.status));
            // The frames counted are on disk, the one under way perhaps too.
            VideoProbe probe = probe_video(out);
            EXPECT_EQ(probe.codec, "msmpeg4v2");
            EXPECT_GE(probe.frames, run.count_at_signal);
            EXPECT_LE(probe.frames, last_progress_count(run.err) + 1);
            // One log line per frame in the file (the last perhaps not yet): nothing lost in a buffer.
            EXPECT_LE(log.size(), static_cast<size_t>(3 + probe.frames));
            EXPECT_GE(log.size(), static_cast<size_t>(3 + probe.frames - 1));
            continue;
        }
        ASSERT_TRUE(WIFEXITED(run.status)) << "ended by signal " << WTERMSIG(run.status);
        EXPECT_EQ(WEXITSTATUS(run.status), 1);

        // Every frame that the progress line counted is in the file, and nothing more.
        const int written = last_progress_count(run.err);
        VideoProbe probe = probe_video(out);
        EXPECT_EQ(probe.warnings, "");
        EXPECT_EQ(probe.codec, "msmpeg4v2");
        EXPECT_EQ(probe.frames, written);
        EXPECT_GE(written, run.count_at_signal);

        std::vector<std::string> calls = read_lines(journal);
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ(calls[calls.size() - 2], "endless.so close 4660");
        EXPECT_EQ(calls.back(), "endless.so unload");
        // The log holds its three header lines and one line per frame written.
        EXPECT_EQ(log.size(), static_cast<size_t>(3 + written));
    }
}

// Standard error into a pipe whose reader has gone (a pager quit, `head -c`):
// every message fails to arrive, but the run goes on to its last frame and
// the file is whole.
TEST(TwopassInterrupt, AReaderOfTheMessagesThatGoesAwayLosesNothing) {
    ASSERT_FALSE(scripted_plugin_library().empty());
    TempDir dir;
    const std::string plugin =
        install_scripted_plugin(dir.path(), "forty.so", {"width=320", "height=240", "frames_l=40"});
    const std::string registry = dir.file("registry.reg");
    write_plugin_registry(registry, {{"forty", plugin}});
    const std::string out = dir.file("out.avi");

    int err_pipe[2];
    ASSERT_EQ(pipe(err_pipe), 0);
    close(err_pipe[0]);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(err_pipe[1], 2);
        setenv("TWOPASS_REGISTRY", registry.c_str(), 1);
        const std::string program = twopass_program();
        const std::string input = dir.file("input.aup");
        execl(program.c_str(), program.c_str(), "-l", input.c_str(), out.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(err_pipe[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    VideoProbe probe = probe_video(out);
    EXPECT_EQ(probe.warnings, "");
    EXPECT_EQ(probe.frames, 40);
    EXPECT_EQ(read_lines(dir.file("out.log")).size(), 3u + 40u);
}

// A second run writing the output of a run under way is refused before it
// touches the file; the first completes its own.
TEST(TwopassInterrupt, ASecondRunOnTheSameOutputIsRefusedAndTheFirstCompletesItsFile) {
    ASSERT_FALSE(scripted_plugin_library().empty());
    TempDir dir;
    const std::string plugin =
        install_scripted_plugin(dir.path(), "endless.so", {"width=320", "height=240", "frames_h=1"});
    const std::string registry = dir.file("registry.reg");
    write_plugin_registry(registry, {{"endless", plugin}});
    const std::string out = dir.file("out.avi"), other = dir.file("other.avi");
    ASSERT_TRUE(make_clip(other, "testsrc2=size=64x48:rate=25", 5, {"-c:v", "rawvideo", "-pix_fmt", "bgr24"}));

    ProcessResult second;
    Interrupted run = interrupt_run({"-l", dir.file("input.aup"), out}, registry, 4, SIGINT,
                                    [&] { second = run_twopass({"-q", "-l", other, out}, registry); });
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_EQ(second.err, "ERROR - Can't open " + out + "\n");
    ASSERT_TRUE(WIFEXITED(run.status));
    const int written = last_progress_count(run.err);
    VideoProbe probe = probe_video(out);
    EXPECT_EQ(probe.warnings, "");
    EXPECT_EQ(probe.width, 320);
    EXPECT_EQ(probe.frames, written);
    EXPECT_EQ(read_lines(dir.file("out.log")).size(), static_cast<size_t>(3 + written));
}

}  // namespace
