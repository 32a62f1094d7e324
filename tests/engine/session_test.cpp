// The encode session the front ends drive: the pipeline's steps with the
// file and log made at the first frame, a key frame on request, failures
// kept for the report, and nothing made by a refused or failed start.
#include <gtest/gtest.h>

#include <filesystem>
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

namespace {

// Runs in folder (made for it under dir) as the current one, where the
// analysis pictures land: frames 0 to 3, frame 2's delta frame noisy.
class WideSessionTest : public SessionTest {
protected:
    std::string previous_ = std::filesystem::current_path().string();

    void SetUp() override {
        SessionTest::SetUp();
        settings.analyse_enabled = 1;
        noisy = {2};
        frame.assign(format.biSizeImage, 0x80);
    }
    void TearDown() override {
        std::filesystem::current_path(previous_);
        SessionTest::TearDown();
    }
    std::string enter(const std::string& folder) {
        const std::string at = dir.file(folder);
        std::filesystem::create_directory(at);
        std::filesystem::current_path(at);
        return at + "/";
    }
    // Opened by open, then the four frames; s is left open for a look. The
    // codec's record starts anew, so that each run's data (which carries the
    // index of its compression) is the same.
    template <typename Open>
    void run(EncodeSession& s, Open open) {
        codec.messages.clear();
        codec.compresses.clear();
        codec.decompresses.clear();
        ASSERT_EQ(open(s), 1);
        for (int n = 0; n < 4; ++n) {
            frame[0] = static_cast<uint8_t>(n);
            ASSERT_EQ(session_encode_frame(s, n, &format, frame.data()), 1) << n;
        }
        EXPECT_EQ(s.log_missing, 0);
    }
};

// Everything after the log's first line, which names the output.
std::string after_first_line(const std::string& text) { return text.substr(text.find('\n') + 1); }

}  // namespace

// A UTF-16 name reaches its files whatever its characters: the same video as
// the narrow entry writes, its log named after it and headed with its UTF-8,
// the analysis picture beside it in the current folder.
TEST_F(WideSessionTest, WideNameWritesWhatTheNarrowOneDoes) {
    const std::string reference = enter("narrow");
    EncodeSession s;
    run(s, [&](EncodeSession& e) { return session_open(e, "out.avi", info, format, settings); });
    ASSERT_EQ(session_close(s), 1);
    const std::string video = testsupport::read_file(reference + "out.avi");
    const std::string log = testsupport::read_file(reference + "out.log");
    const std::string picture = testsupport::read_file(reference + "00000002.bmp");
    ASSERT_EQ(picture.size(), 178614u);
    ASSERT_NE(log.find("bad block"), std::string::npos);

    struct Case {
        const char* folder;
        const char16_t* name;  // relative to the folder
        const char* utf8;      // the name's file
        const char* log_utf8;
    };
    for (const Case& c : {Case{"ascii", u"out.avi", "out.avi", "out.log"},
                          Case{"日本語", u"動画ファイル.avi", "動画ファイル.avi", "動画ファイル.log"},
                          // U+20BB7 and U+1F600: surrogate pairs
                          Case{"\U00020BB7", u"\xD842\xDFB7\xD83D\xDE00.avi", "\U00020BB7\U0001F600.avi",
                               "\U00020BB7\U0001F600.log"}}) {
        const std::string at = enter(c.folder);
        run(s, [&](EncodeSession& e) { return session_open_wide(e, c.name, info, format, settings); });
        EXPECT_STREQ(s.writer.output_path, c.utf8);
        EXPECT_STREQ(s.log.name, c.log_utf8);
        ASSERT_EQ(session_close(s), 1) << c.utf8;
        EXPECT_TRUE(testsupport::read_file(at + c.utf8) == video) << c.utf8;
        const std::string wide_log = testsupport::read_file(at + c.log_utf8);
        EXPECT_EQ(wide_log.substr(0, wide_log.find('\n') + 1), std::string("[") + c.utf8 + "]\n");
        EXPECT_EQ(after_first_line(wide_log), after_first_line(log)) << c.utf8;
        EXPECT_TRUE(testsupport::read_file(at + "00000002.bmp") == picture) << c.utf8;
    }
}

// A picture never replaces the output or the log of a wide name that a link
// of the picture's name leads to.
TEST_F(WideSessionTest, PicturesKeepApartFromTheFilesOfAWideName) {
    struct Case {
        const char* folder;
        const char* target;  // what the link 00000002.bmp leads to
        AnalysisKept kept;
    };
    for (const Case& c : {Case{"出力", "\U00020BB7.avi", AnalysisKept::output},
                          Case{"記録", "\U00020BB7.log", AnalysisKept::log}}) {
        const std::string at = enter(c.folder);
        std::filesystem::create_symlink(c.target, at + "00000002.bmp");
        EncodeSession s;
        run(s, [&](EncodeSession& e) { return session_open_wide(e, u"\xD842\xDFB7.avi", info, format, settings); });
        EXPECT_EQ(s.writer.analysis.skipped, 1) << c.folder;
        EXPECT_EQ(s.writer.analysis.skipped_frame, 2) << c.folder;
        EXPECT_EQ(s.writer.analysis.skipped_file, c.kept) << c.folder;
        EXPECT_EQ(s.writer.analysis.failed, 0) << c.folder;
        ASSERT_EQ(session_close(s), 1);
        EXPECT_EQ(testsupport::read_file(at + "\U00020BB7.avi").substr(0, 4), "RIFF") << c.folder;
        EXPECT_EQ(testsupport::read_file(at + "\U00020BB7.log").substr(0, 1), "[") << c.folder;
    }
}

// A name with an unpaired surrogate (or none) names no file: refused before
// anything is made, as any refused start.
TEST_F(WideSessionTest, NameThatIsNoTextIsRefused) {
    const std::string at = enter("refused");
    for (const char16_t* name : {u"\xD842.avi", u"x\xDFB7.avi", u"out.avi\xD83D", u"\xDE00\xD83D.avi",
                                 static_cast<const char16_t*>(nullptr)}) {
        EncodeSession s;
        EXPECT_EQ(session_open_wide(s, name, info, format, settings), 0);
        EXPECT_EQ(s.failure, OutputFailure::bad_name);
        EXPECT_EQ(s.failed_frame, -1);
        EXPECT_EQ(s.writer.output_path, nullptr);
        EXPECT_EQ(session_close(s), 1);  // safe after the refusal
    }
    EXPECT_TRUE(std::filesystem::is_empty(at));
}
