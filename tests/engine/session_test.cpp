// The encode session the front ends drive: the pipeline's steps with the
// file and log made at the first frame, a key frame on request, failures
// kept for the report, and nothing made by a refused or failed start.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/session.h"
#include "tests/engine/scripted_run.h"

using testsupport::CompressCall;
using enginetest::put_file;

namespace {

class SessionTest : public enginetest::ScriptedRun {};

}  // namespace

// The session the front ends drive: the same steps as the pipeline, a key
// frame on request, and the failure kept past the close for the report.
TEST_F(SessionTest, SessionWritesLogsAndKeepsItsFailure) {
    codec.result_answer = [](const CompressCall& c) {
        return static_cast<DWORD>(c.index == 5 ? ICERR_INTERNAL : ICERR_OK);
    };
    frame.assign(format.biSizeImage, 0x80);
    EncodeSession s;
    ASSERT_EQ(session_open(s, path.c_str(), info, format, settings), 1);
    EXPECT_EQ(s.failed_frame, -1);
    EXPECT_EQ(s.log.file, nullptr);  // file and log come with the first frame
    EXPECT_FALSE(testsupport::file_exists(path));
    for (int n = 0; n < 5; ++n) {
        if (n == 3) session_request_key(s);
        ASSERT_EQ(session_encode_frame(s, n, &format, frame.data()), 1) << n;
        EXPECT_EQ(session_last_size(s), n == 0 || n == 3 ? 1000u : 100u) << n;
    }
    EXPECT_EQ(session_encode_frame(s, 5, &format, frame.data()), 0);
    EXPECT_EQ(session_close(s), 1);
    EXPECT_EQ(s.failure, OutputFailure::compress);
    EXPECT_EQ(s.failed_frame, 5);
    EXPECT_EQ(s.log.file, nullptr);
    EXPECT_EQ(s.writer.file, nullptr);
    EXPECT_EQ(packets(), "1000,K_\n100,__\n100,__\n1000,K_\n100,__\n");
    EXPECT_EQ(log_text(), "[" + path + "]\nrate: 3000, key: 8, cc: 75, pixel: 28, diff: 9\n frame   size  key\n"
                          "     0   1000  ***\n     1    100  \n     2    100  \n     3   1000  ***\n"
                          "     4    100  \n");
}

// A run that fails before its first frame is written, writes none, or is
// refused, leaves existing files of the output's and the log's names as they
// were.
TEST_F(SessionTest, FailureAtTheFirstFrameLeavesExistingFiles) {
    const std::string log_path = dir.file("out.log");
    put_file(path, "an older video");
    put_file(log_path, "an older log");
    frame.assign(format.biSizeImage, 0x80);
    struct Case {
        const char* what;
        int compress_fails_at;  // frame index, -1: never
        bool wider_frame;       // frame 0 not laid out as opened
        bool no_frame;          // closed without a frame
    };
    for (const Case& c : {Case{"codec error", 0, false, false}, Case{"frame layout", -1, true, false},
                          Case{"no frame", -1, false, true}}) {
        codec.result_answer = [at = c.compress_fails_at](const CompressCall& call) {
            return static_cast<DWORD>(call.index == at ? ICERR_INTERNAL : ICERR_OK);
        };
        BITMAPINFOHEADER wider = format;
        wider.biWidth += 8;
        std::vector<uint8_t> big(frame.size() * 2, 0x80);
        EncodeSession s;
        ASSERT_EQ(session_open(s, path.c_str(), info, format, settings), 1) << c.what;
        if (c.no_frame) {
            EXPECT_EQ(session_close(s), 1) << c.what;
        } else {
            EXPECT_EQ(session_encode_frame(s, 0, c.wider_frame ? &wider : &format,
                                           c.wider_frame ? big.data() : frame.data()),
                      0)
                << c.what;
            EXPECT_EQ(s.failed_frame, 0) << c.what;
            session_close(s);
        }
        EXPECT_EQ(testsupport::read_file(path), "an older video") << c.what;
        EXPECT_EQ(testsupport::read_file(log_path), "an older log") << c.what;
    }

    // Logging into the output itself (an output named *.log, in any case) is refused before anything is made.
    codec.result_answer = nullptr;
    for (const char* name : {"video.log", "video.LOG"}) {
        const std::string output = dir.file(name);
        put_file(output, "not to be lost");
        EncodeSession s;
        EXPECT_EQ(session_open(s, output.c_str(), info, format, settings), 0) << name;
        EXPECT_EQ(s.failure, OutputFailure::log_is_output) << name;
        session_close(s);
        EXPECT_EQ(testsupport::read_file(output), "not to be lost") << name;
    }
    // Without logging such a name is an ordinary output.
    settings.log_enabled = 0;
    EncodeSession s;
    ASSERT_EQ(session_open(s, dir.file("video.log").c_str(), info, format, settings), 1);
    EXPECT_EQ(session_encode_frame(s, 0, &format, frame.data()), 1);
    EXPECT_EQ(session_close(s), 1);
}

TEST_F(SessionTest, RefusedSessionMakesNeitherFileNorLog) {
    codec.refuse_compress = true;
    EncodeSession s;
    EXPECT_EQ(session_open(s, path.c_str(), info, format, settings), 0);
    EXPECT_EQ(s.failure, OutputFailure::codec_unavailable);
    EXPECT_EQ(s.log.name, nullptr);
    EXPECT_EQ(session_close(s), 1);  // safe after a refused open
    EXPECT_FALSE(testsupport::file_exists(path));
    EXPECT_FALSE(testsupport::file_exists(dir.file("out.log")));

    // Without logging no log is made, however the run goes.
    codec.refuse_compress = false;
    settings.log_enabled = 0;
    frame.assign(format.biSizeImage, 0x80);
    ASSERT_EQ(session_open(s, path.c_str(), info, format, settings), 1);
    EXPECT_EQ(s.log.name, nullptr);
    EXPECT_EQ(session_encode_frame(s, 0, &format, frame.data()), 1);
    EXPECT_EQ(session_close(s), 1);
    EXPECT_TRUE(testsupport::file_exists(path));
    EXPECT_FALSE(testsupport::file_exists(dir.file("out.log")));
}
