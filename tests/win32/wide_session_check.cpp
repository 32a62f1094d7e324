// The engine's wide entry on Windows, run in a folder of any name with the
// test codec for MP42 (damaging blocks when TESTCODEC_DAMAGE asks): a UTF-16
// output name the ANSI code page can't hold gets the same video as a narrow
// ASCII name, its log named after it and headed with its UTF-8, the analysis
// pictures in the current folder; an unpaired surrogate makes no file.
// Prints its faults; exit 0 when there is none.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/session.h"

namespace {

int faults = 0;

void fault(const char* what) {
    std::printf("%s\n", what);
    ++faults;
}

std::string read_all(const wchar_t* name) {
    std::string bytes;
    FILE* f = _wfopen(name, L"rb");
    if (!f) return "missing";
    char block[65536];
    for (size_t n; (n = std::fread(block, 1, sizeof block, f)) > 0;) bytes.append(block, n);
    std::fclose(f);
    return bytes;
}

std::string after_first_line(const std::string& text) { return text.substr(text.find('\n') + 1); }

// 1 when the whole run went through; the session is opened by the caller.
int encode(EncodeSession& s, int opened, const BITMAPINFOHEADER& format) {
    if (!opened) {
        std::printf("refused: failure %d\n", static_cast<int>(s.failure));
        return 0;
    }
    std::vector<uint8_t> pixels(format.biSizeImage);
    int ok = 1;
    for (int32_t n = 0; n < 24 && ok; ++n) {
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i / 3 + 5 * n + (i % 3) * 40);
        ok = session_encode_frame(s, n, &format, pixels.data());
    }
    const int closed = session_close(s);
    if (!ok) std::printf("failure %d at frame %d\n", static_cast<int>(s.failure), static_cast<int>(s.failed_frame));
    return closed && ok;
}

}  // namespace

int main() {
    AVIFileInit();
    EncodeSettings settings{};
    settings_set_defaults(settings);
    settings.codec = mmioFOURCC('M', 'P', '4', '2');
    settings.log_enabled = 1;
    settings.analyse_enabled = 1;
    const BITMAPINFOHEADER format = make_rgb24_format(160, 120);
    const AVISTREAMINFOA info = make_video_stream_info(160, 120, 25, 1);

    // 出力 and U+20BB7 (a surrogate pair): of the legacy ANSI code pages
    // only a Japanese one holds the first, none the second.
    const wchar_t* name = L"\u51FA\u529B\U00020BB7.avi";
    const wchar_t* log_name = L"\u51FA\u529B\U00020BB7.log";
    const char* utf8 = "\xE5\x87\xBA\xE5\x8A\x9B\xF0\xA0\xAE\xB7.avi";
    // Wine's AVIFile needs the UTF-8 code page (wide_session_check.manifest).
    if (GetACP() != CP_UTF8) fault("the ANSI code page is not UTF-8: the manifest was not applied");

    EncodeSession s;
    if (!encode(s, session_open(s, "narrow.avi", info, format, settings), format)) fault("the narrow run failed");
    const std::string video = read_all(L"narrow.avi");
    const std::string log = read_all(L"narrow.log");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(L"*.bmp", &found);
    int pictures = 0;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            ++pictures;
            DeleteFileW(found.cFileName);  // so that the wide run's are seen to be made
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    if (pictures == 0) fault("the narrow run drew no analysis picture (TESTCODEC_DAMAGE unset?)");

    if (!encode(s, session_open_wide(s, name, info, format, settings), format)) fault("the wide run failed");
    if (read_all(name) != video) fault("the wide name's video differs from the narrow one's");
    const std::string wide_log = read_all(log_name);
    if (wide_log.substr(0, wide_log.find('\n') + 1) != std::string("[") + utf8 + "]\r\n")  // a text file
        fault("the wide name's log does not start with its UTF-8 name");
    if (after_first_line(wide_log) != after_first_line(log)) fault("the wide name's log differs from the narrow one's");
    int wide_pictures = 0;
    search = FindFirstFileW(L"*.bmp", &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            ++wide_pictures;
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    if (wide_pictures != pictures) fault("the wide run drew other analysis pictures than the narrow one");

    const wchar_t* unpaired = L"\xD842.avi";
    if (session_open_wide(s, unpaired, info, format, settings) != 0 || s.failure != OutputFailure::bad_name)
        fault("a name with an unpaired surrogate was not refused as bad_name");
    session_close(s);
    if (GetFileAttributesW(unpaired) != INVALID_FILE_ATTRIBUTES) fault("a name with an unpaired surrogate made a file");

    std::printf("%d bytes of video, %d analysis pictures, %d faults\n", static_cast<int>(video.size()), pictures,
                faults);
    AVIFileExit();
    return faults == 0 ? 0 : 1;
}
