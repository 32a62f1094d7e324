// vnt-host: drives an output plug-in (vnt.auo by default) as the video editor
// does. It loads the module, shows its table, keeps its configuration in a
// file between runs, can run its settings dialog, and exports an AVI file's
// frames through the plug-in's output entry: bottom-up 24-bit DIBs with rows
// padded to 4 bytes, in the editor's 76-byte request record, and the file's
// 16-bit PCM audio as the editor hands out its own. Any plug-in that keeps to
// the editor's conventions runs under it; the setting options apply only to
// one that keeps vnt.auo's 40-byte settings.
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <clocale>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "common/stop_signals.h"
#include "engine/file_identity.h"
#include "engine/log.h"
#include "engine/platform.h"
#include "plugin/config.h"
#include "plugin/plugin_abi.h"
#include "tools/host_input/host_input.h"

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#else
#include <iconv.h>
#include <langinfo.h>
#include <unistd.h>

#include "platform/dialog/dialog_script.h"
#endif

namespace {

// The usage text around its two codec lines, which come from the codec table.
constexpr char kUsageHead[] =
    "usage: vnt-host [options] [input.avi output.avi]\n"
    "Loads the output plug-in vnt.auo as the video editor would, keeps its settings\n"
    "between runs, and exports input.avi to output.avi through it.\n"
    "\n"
    "  --plugin PATH          the plug-in to load (default: vnt.auo beside vnt-host)\n"
    "  --config-file PATH     where the plug-in's settings are kept\n"
    "                         (default: $XDG_CONFIG_HOME/twopass/vnt-host.cfg)\n"
    "  --defaults             start from the plug-in's defaults, not the stored settings\n"
    "  --no-save              leave the stored settings as they were\n";
constexpr char kUsageTail[] =
    "  -r N  -k N  -c N       bit rate (kbit/s), key-frame interval (s), compression (%)\n"
    "  -d N  -p N  -s N       noise difference, noise pixels, scene-change level\n"
    "  -l / --no-log          encoding log on / off\n"
    "  -b / --no-analyse      bad-block pictures on / off\n"
    "  --audio off|pcm|N      the input's audio: left out, kept as PCM, or as MP3 at N kbit/s\n"
    "  --config-dialog SCRIPT run the plug-in's settings dialog with a script of steps\n"
    "                         separated by ';': ID=TEXT, ID=N (combo entry), ID=check,\n"
    "                         ID=uncheck, ID=up, ID=down, ok, cancel\n"
    "                         e.g. \"1013=4000;1003=check;1006=2;ok\"\n"
    "  --key N,M,...          ask for key frames at these frame numbers\n"
    "  --frames N             export at most N frames\n"
    "  --abort-at N           ask the plug-in to stop before frame N (as Ctrl-C does)\n"
    "  -q                     no progress on standard error\n"
    "  -h, --help             this text\n"
    "Without file names, vnt-host shows the plug-in and its settings after the changes.\n";

struct Options {
    std::string plugin_path;
    std::string config_path;
    bool defaults = false;
    bool save = true;
    bool quiet = false;
    bool have_dialog = false;
    std::string dialog_script;
    std::set<int> key_frames;
    int frame_limit = INT_MAX;
    int abort_at = -1;
    // Field changes, applied in order over the stored record.
    std::vector<std::pair<int32_t PluginConfig::*, int32_t>> changes;
    std::vector<std::string> files;
};

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "vnt-host: %s\n", message.c_str());
    std::exit(1);
}

bool parse_int(const char* text, int32_t& value) {
    if (!text || !*text) return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno || *end || v < INT32_MIN || v > INT32_MAX) return false;
    value = static_cast<int32_t>(v);
    return true;
}

void print_usage() {
    std::fputs(kUsageHead, stdout);
    std::printf("  -v C                   codec:");
    for (size_t i = 0; i < kCodecs.size(); ++i) {
        std::printf("%s %c %s", i ? "," : "", kCodecs[i].letters[0], fourcc_text(kCodecs[i].fourcc).data());
    }
    std::printf("\n  --codec-index N        store codec index N as it is (outside 0-%zu means %s)\n",
                kCodecs.size() - 1, fourcc_text(kCodecs[kDefaultCodecIndex].fourcc).data());
    std::fputs(kUsageTail, stdout);
}

std::string self_directory() {
#ifdef _WIN32
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p(path, n);
#else
    std::error_code ec;
    std::string p = std::filesystem::read_symlink("/proc/self/exe", ec).string();
#endif
    const size_t slash = p.find_last_of("/\\");
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

std::string default_config_path() {
#ifdef _WIN32
    const char* base = std::getenv("APPDATA");
    return std::string(base ? base : ".") + "\\twopass\\vnt-host.cfg";
#else
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg) return std::string(xdg) + "/twopass/vnt-host.cfg";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : ".") + "/.config/twopass/vnt-host.cfg";
#endif
}

Options parse_options(int argc, char** argv) {
    Options o;
    o.plugin_path = self_directory() + "/vnt.auo";
    o.config_path = default_config_path();
    auto value_of = [&](int& i) -> const char* {
        if (i + 1 >= argc) fail(std::string("option ") + argv[i] + " needs a value");
        return argv[++i];
    };
    auto number_of = [&](int& i) {
        const char* name = argv[i];
        int32_t v = 0;
        if (!parse_int(value_of(i), v)) fail(std::string("option ") + name + " needs a whole number");
        return v;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            print_usage();
            std::exit(0);
        } else if (a == "--plugin") {
            o.plugin_path = value_of(i);
            // A bare file name means the one here, not one on the loader's search path.
            if (o.plugin_path.find_first_of("/\\") == std::string::npos) o.plugin_path = "./" + o.plugin_path;
        } else if (a == "--config-file") {
            o.config_path = value_of(i);
        } else if (a == "--defaults") {
            o.defaults = true;
        } else if (a == "--no-save") {
            o.save = false;
        } else if (a == "-q") {
            o.quiet = true;
        } else if (a == "-v") {
            o.changes.emplace_back(&PluginConfig::codec_index, codec_index_of_letter(value_of(i)[0]));
        } else if (a == "--codec-index") {
            o.changes.emplace_back(&PluginConfig::codec_index, number_of(i));
        } else if (a == "-r") {
            o.changes.emplace_back(&PluginConfig::bit_rate, number_of(i));
        } else if (a == "-k") {
            o.changes.emplace_back(&PluginConfig::key_seconds, number_of(i));
        } else if (a == "-c") {
            o.changes.emplace_back(&PluginConfig::compression_control, number_of(i));
        } else if (a == "-d") {
            o.changes.emplace_back(&PluginConfig::diff_threshold, number_of(i));
        } else if (a == "-p") {
            o.changes.emplace_back(&PluginConfig::pixel_threshold, number_of(i));
        } else if (a == "-s") {
            o.changes.emplace_back(&PluginConfig::scene_level, number_of(i));
        } else if (a == "-l" || a == "--no-log") {
            o.changes.emplace_back(&PluginConfig::log_enabled, a == "-l" ? 1 : 0);
        } else if (a == "-b" || a == "--no-analyse") {
            o.changes.emplace_back(&PluginConfig::analyse_enabled, a == "-b" ? 1 : 0);
        } else if (a == "--audio") {
            const std::string v = value_of(i);
            int32_t kbps = 0;
            if (v == "off") o.changes.emplace_back(&PluginConfig::audio, kPluginAudioOff);
            else if (v == "pcm") o.changes.emplace_back(&PluginConfig::audio, kPluginAudioPcm);
            else if (parse_int(v.c_str(), kbps)) o.changes.emplace_back(&PluginConfig::audio, kbps);
            else fail("--audio takes off, pcm or a bit rate in kbit/s");
        } else if (a == "--config-dialog") {
            o.have_dialog = true;
            o.dialog_script = value_of(i);
        } else if (a == "--key") {
            const std::string list = value_of(i);
            size_t start = 0;
            while (start <= list.size()) {
                const size_t comma = std::min(list.find(',', start), list.size());
                int32_t frame = 0;
                if (!parse_int(list.substr(start, comma - start).c_str(), frame) || frame < 0)
                    fail("--key takes frame numbers separated by commas");
                o.key_frames.insert(frame);
                start = comma + 1;
            }
        } else if (a == "--frames") {
            o.frame_limit = number_of(i);
            if (o.frame_limit < 0) fail("--frames needs a count of 0 or more");
        } else if (a == "--abort-at") {
            o.abort_at = number_of(i);
        } else if (a.size() > 1 && a[0] == '-') {
            fail("unknown option " + a + " (see vnt-host -h)");
        } else {
            o.files.push_back(a);
        }
    }
    if (!o.files.empty() && o.files.size() != 2) fail("give an input and an output file, or none");
    return o;
}

// The plug-in's texts are Shift-JIS; the terminal gets them in its own code.
std::string from_cp932(const char* text) {
    if (!text) return "(none)";
#ifdef _WIN32
    return text;
#else
    // The locale's own character set, but UTF-8 where it is plain ASCII (the C
    // locale of scripts), which would lose every Japanese character.
    std::string target = nl_langinfo(CODESET);
    if (target == "ANSI_X3.4-1968" || target == "ASCII") target = "UTF-8";
    iconv_t cd = iconv_open((target + "//TRANSLIT").c_str(), "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) return text;
    std::string in = text;
    std::string out(in.size() * 3 + 1, '\0');
    char* src = in.data();
    size_t src_left = in.size();
    char* dst = out.data();
    size_t dst_left = out.size();
    const size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1)) return text;
    out.resize(out.size() - dst_left);
    return out;
#endif
}

void print_table(const OutputPluginTable& t) {
    std::printf("plug-in:     %s\n", from_cp932(t.display_name).c_str());
    std::printf("information: %s\n", from_cp932(t.information).c_str());
    std::printf("file filter:");
    const char* p = t.file_filter;
    for (int n = 0; p && *p && n < 32; ++n) {
        if (n % 2) std::printf(" = %s", from_cp932(p).c_str());
        else std::printf("%s %s", n ? ";" : "", from_cp932(p).c_str());
        p += std::strlen(p) + 1;
    }
    std::printf("\n");
}

void print_config(const PluginConfig& c) {
    if (static_cast<uint32_t>(c.codec_index) < kPluginCodecs.size()) {
        std::printf("codec_index         %d (%s)\n", c.codec_index, kPluginCodecs[c.codec_index].list_text);
    } else {
        std::printf("codec_index         %d (outside the table: %s)\n", c.codec_index,
                    fourcc_text(codec_entry(c.codec_index).fourcc).data());
    }
    std::printf("bit_rate            %d\n", c.bit_rate);
    std::printf("key_seconds         %d\n", c.key_seconds);
    std::printf("compression_control %d\n", c.compression_control);
    std::printf("diff_threshold      %d\n", c.diff_threshold);
    std::printf("pixel_threshold     %d\n", c.pixel_threshold);
    std::printf("log_enabled         %d\n", c.log_enabled);
    std::printf("analyse_enabled     %d\n", c.analyse_enabled);
    std::printf("scene_level         %d\n", c.scene_level);
    if (c.audio == kPluginAudioOff) std::printf("audio               0 (off)\n");
    else if (c.audio == kPluginAudioPcm) std::printf("audio               1 (PCM)\n");
    else std::printf("audio               %d (MP3, kbit/s)\n", c.audio);
}

// The stored settings, or nothing. Only a regular file is opened (a FIFO
// would block the open, a device never ends), and no more is read than shows
// that it is not a settings file.
std::vector<char> read_whole(const std::string& path) {
    constexpr std::streamsize kMostRead = 64 * 1024;
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) fail("can't read the settings from " + path + ": it is a folder");
    if (!std::filesystem::is_regular_file(path, ec)) return {};
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::vector<char> bytes(kMostRead);
    in.read(bytes.data(), kMostRead);
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

// vnt.auo's settings as an earlier vnt.auo kept them: the record without its
// audio setting. Taken as the plug-in's own when it keeps vnt.auo's record now.
bool earlier_settings(size_t plugin_size, size_t bytes) {
    return plugin_size == static_cast<size_t>(kPluginConfigSize) &&
           bytes == static_cast<size_t>(kPluginConfigSizeWithoutAudio);
}

// Only a settings file (of the plug-in's size or an earlier vnt.auo's, or
// still empty) or nothing at all may be replaced: the path may name a video,
// the export just written or a device by mistake, and none of them is ours to
// write over.
bool holds_settings_or_nothing(const std::filesystem::path& p, size_t size) {
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(p, ec);
    if (!std::filesystem::exists(status)) return true;
    if (!std::filesystem::is_regular_file(status)) return false;
    const std::uintmax_t bytes = std::filesystem::file_size(p, ec);
    return !ec && (bytes == 0 || bytes == size || earlier_settings(size, bytes));
}

void write_config(const std::string& path, const std::vector<char>& bytes) {
    std::error_code ec;
    const std::filesystem::path p(path);
    if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path(), ec);
    if (std::filesystem::is_directory(p, ec)) fail("can't keep the settings in " + path + ": it is a folder");
    if (!holds_settings_or_nothing(p, bytes.size())) {
        std::fprintf(stderr, "vnt-host: not keeping the settings in %s: it is not a settings file\n", path.c_str());
        return;
    }
    const std::string temp = path + ".new";
    bool written = false;
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        written = static_cast<bool>(out.flush());
    }
    if (written) std::filesystem::rename(temp, path, ec);
    if (!written || ec) {
        std::filesystem::remove(temp, ec);  // nothing of a failed save stays behind
        if (!written) fail("can't write the settings to " + temp);
        fail("can't keep the settings in " + path);
    }
}

// ---- the export: the editor's side of the output request ----

volatile sig_atomic_t g_interrupted = 0;

struct HostRun {
    HostInput input;  // the frames, and the audio as the editor hands out its own
    int frames_fetched = 0;
    std::set<int> key_frames;
    int abort_at = -1;
    bool quiet = false;
    bool tty = false;
    int last_reported = -1;
    // What the plug-in asked for, for the line after the export.
    int audio_fetches = 0;
    int64_t audio_fetched = 0;  // samples handed out
};
HostRun g_run;

// As in twopass: the first stop signal asks the plug-in to stop before the
// next frame, so that its file is completed; a second ends vnt-host at once.
void on_interrupt(int signal_number) {
    if (g_interrupted) std::_Exit(1);
    g_interrupted = 1;
    signal(signal_number, on_interrupt);
}

void set_stop_handler(void (*handler)(int)) {
    for (int signal_number : kStopSignals) signal(signal_number, handler);
}

void* host_fetch_frame(int frame) {
    const uint8_t* bits = host_input_frame(g_run.input, frame);
    if (!bits) return nullptr;
    ++g_run.frames_fetched;
    return const_cast<uint8_t*>(bits);
}

int host_abort_requested() {
    return g_interrupted || (g_run.abort_at >= 0 && g_run.frames_fetched >= g_run.abort_at);
}

int host_show_remaining_time(int frame, int total) {
    if (g_run.quiet || total <= 0) return 1;
    if (g_run.tty) {
        std::fprintf(stderr, "\rvnt-host: frame %d of %d", frame + 1, total);
    } else {
        const int quarter = static_cast<int>(static_cast<int64_t>(frame) * 4 / total);
        if (quarter != g_run.last_reported) std::fprintf(stderr, "vnt-host: frame %d of %d\n", frame + 1, total);
        g_run.last_reported = quarter;
    }
    return 1;
}

int host_frame_flags(int frame) { return g_run.key_frames.count(frame) ? 1 : 0; }

int host_refresh_preview() { return 1; }

// Samples start .. start+length-1 of the input's audio, *read of them: fewer
// past its end or where the file can't be read.
void* host_fetch_audio(int start, int length, int* read) {
    ++g_run.audio_fetches;
    int got = 0;
    const uint8_t* out = host_input_audio(g_run.input, start, length, &got);
    g_run.audio_fetched += got;
    if (read) *read = got;
    return const_cast<uint8_t*>(out);
}

// Hands the input's first audio stream to the request when it is 16-bit PCM,
// the editor's own audio format. Other audio is left out, and said so.
void open_audio(const std::string& name, OutputRequest& request) {
    const int found = host_input_open_audio(g_run.input);
    if (found < 0) std::fprintf(stderr, "vnt-host: the audio of %s is not 16-bit PCM: the plug-in gets none\n", name.c_str());
    if (found <= 0) return;
    const HostInput& in = g_run.input;
    request.flags |= kOutputHasAudio;
    request.audio_rate = in.audio_rate;
    request.audio_channels = in.audio_channels;
    request.audio_count = static_cast<int32_t>(in.audio_count);
    request.audio_sample_size = static_cast<int32_t>(in.audio_block);
}

// Only the plain DIB format (0) is offered, as from fetch_frame.
void* host_fetch_frame_ex(int frame, DWORD format) { return format == 0 ? host_fetch_frame(frame) : nullptr; }

// Writing over the input would destroy it: refused as twopass refuses it,
// by file identity (the names may differ through links), before the plug-in
// opens anything for writing. The log counts when vnt.auo's settings ask
// for one.
void refuse_writing_over_input(const OutputPluginTable& table, int settings_size, const Options& o) {
    const char* input = o.files[0].c_str();
    if (file_same(input, o.files[1].c_str())) fail(o.files[1] + " is the input file");
    PluginConfig c{};
    if (settings_size != kPluginConfigSize || !table.on_config_get(&c, settings_size) || !c.log_enabled) return;
    char* log_name = path_replace_extension(o.files[1].c_str(), ".log");
    const std::string log = log_name ? log_name : "";
    std::free(log_name);
    if (!log.empty() && file_same(input, log.c_str())) fail(log + " is the input file");
}

int export_file(const OutputPluginTable& table, const Options& o) {
    switch (host_input_open(g_run.input, o.files[0].c_str())) {
        case HostInputOpen::ok:
            break;
        case HostInputOpen::cant_open:
            fail("can't open " + o.files[0]);
        case HostInputOpen::no_video:
            fail(o.files[0] + " has no video stream");
        case HostInputOpen::cant_decode:
            fail("can't decode the video of " + o.files[0]);
    }
    const HostInput& in = g_run.input;
    g_run.key_frames = o.key_frames;
    g_run.abort_at = o.abort_at;
    g_run.quiet = o.quiet;
    g_run.tty = isatty(2) != 0;

    OutputRequest request{};
    request.flags = kOutputHasVideo;
    request.frame_size = static_cast<int32_t>(dib_stride(in.width, 24) * static_cast<DWORD>(in.height));
    request.width = in.width;
    request.height = in.height;
    request.rate = static_cast<int32_t>(in.rate);
    request.scale = static_cast<int32_t>(in.scale);
    request.frame_count = static_cast<int32_t>(std::min<DWORD>(in.length, static_cast<DWORD>(o.frame_limit)));
    request.output_path = o.files[1].c_str();
    request.fetch_frame = host_fetch_frame;
    request.abort_requested = host_abort_requested;
    request.show_remaining_time = host_show_remaining_time;
    request.frame_flags = host_frame_flags;
    request.refresh_preview = host_refresh_preview;
    request.fetch_audio = host_fetch_audio;
    request.fetch_frame_ex = host_fetch_frame_ex;
    open_audio(o.files[0], request);

    set_stop_handler(on_interrupt);
    const int ok = table.on_output(&request);
    set_stop_handler(SIG_DFL);
    if (!o.quiet && g_run.tty) std::fputc('\n', stderr);

    const bool had_audio = g_run.input.audio != nullptr;
    host_input_close(g_run.input);

    if (!ok) {
        std::fprintf(stderr, "vnt-host: the plug-in could not export to %s\n", o.files[1].c_str());
        return 1;
    }
    const bool stopped = host_abort_requested() && g_run.frames_fetched < request.frame_count;
    if (!o.quiet || stopped) {
        std::fprintf(stderr, "vnt-host: %d of %d frames %s %s\n", g_run.frames_fetched, request.frame_count,
                     stopped ? "written before the stop to" : "written to", o.files[1].c_str());
        if (had_audio) {
            std::fprintf(stderr, "vnt-host: the plug-in fetched %lld of %d audio samples in %d calls\n",
                         static_cast<long long>(g_run.audio_fetched), request.audio_count, g_run.audio_fetches);
        }
    }
    return stopped ? 1 : 0;
}

#ifndef _WIN32
int run_dialog(const OutputPluginTable& table, HMODULE module, const std::string& script) {
    InitCommonControls();  // the editor registers the common controls at start-up
    if (!dialog_script_set(script.c_str())) fail(std::string("dialog script: ") + dialog_script_error());
    table.on_config(nullptr, module);
    INT_PTR result = 0;
    const std::string error = dialog_script_error();
    if (!dialog_last_result(&result) || result == -1 || !error.empty()) {
        std::fprintf(stderr, "vnt-host: settings dialog: %s\n", error.empty() ? "not shown" : error.c_str());
        return 0;
    }
    std::fprintf(stderr, "vnt-host: settings dialog closed with %s\n", result == 1 ? "OK" : "Cancel");
    return 1;
}
#else
int run_dialog(const OutputPluginTable& table, HMODULE module, const std::string&) {
    InitCommonControls();
    table.on_config(nullptr, module);
    return 1;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
    // For the whole run: the export, the settings kept after it and the last line.
    stop_signals_ignore_broken_pipe();
    const Options o = parse_options(argc, argv);

    HMODULE module = LoadLibraryA(o.plugin_path.c_str());
    if (!module) fail("can't load the plug-in " + o.plugin_path);
    // Through void (*)(): the generic function type that any other converts to without complaint.
    auto get_table = reinterpret_cast<GetOutputPluginTableFunc>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "GetOutputPluginTable")));
    const OutputPluginTable* table = get_table ? get_table() : nullptr;
    if (!table || !table->on_output) fail(o.plugin_path + " is not an output plug-in");
    if (table->on_init) table->on_init();

    // Restore the stored settings as the editor does when it loads the plug-in.
    // A plug-in may keep no settings at all, or settings of any size.
    const bool keeps_settings = table->on_config_get && table->on_config_set;
    const int size = keeps_settings ? table->on_config_get(nullptr, 0) : 0;
    if (size < 0 || size > (1 << 20)) fail("the plug-in keeps " + std::to_string(size) + " bytes of settings");
    std::vector<char> stored = o.defaults || size <= 0 ? std::vector<char>{} : read_whole(o.config_path);
    if (size > 0 && stored.size() == static_cast<size_t>(size)) {
        table->on_config_set(stored.data(), size);
    } else if (size > 0 && earlier_settings(static_cast<size_t>(size), stored.size()) &&
               table->on_config_set(stored.data(), static_cast<int>(stored.size())) > 0) {
        // The plug-in took an earlier vnt.auo's settings; they are kept at its size from now on.
    } else if (!stored.empty()) {
        std::fprintf(stderr, "vnt-host: ignoring %s: not %d bytes\n", o.config_path.c_str(), size);
    }

    // The setting options name fields of vnt.auo's record.
    if (!o.changes.empty() && size != kPluginConfigSize)
        fail("the plug-in keeps " + std::to_string(size) + " bytes of settings, not vnt.auo's " +
             std::to_string(kPluginConfigSize));
    if (!o.changes.empty()) {
        PluginConfig c{};
        table->on_config_get(&c, size);
        for (const auto& [field, value] : o.changes) c.*field = value;
        table->on_config_set(&c, size);
    }

    int status = 0;
    if (o.have_dialog && !table->on_config) fail("the plug-in has no settings dialog");
    if (o.have_dialog && !run_dialog(*table, module, o.dialog_script)) status = 1;

    if (status == 0) {
        if (o.files.empty()) {
            print_table(*table);
            if (size == kPluginConfigSize) {
                PluginConfig c{};
                table->on_config_get(&c, size);
                print_config(c);
            } else {
                std::printf("settings:    %d bytes\n", size);
            }
        } else {
            refuse_writing_over_input(*table, size, o);
            if (!o.quiet) std::fprintf(stderr, "vnt-host: %s\n", from_cp932(table->display_name).c_str());
            status = export_file(*table, o);
        }
    }

    // Keep what the plug-in holds now (a run leaves its clamped values).
    if (o.save && size > 0) {
        std::vector<char> bytes(static_cast<size_t>(size));
        table->on_config_get(bytes.data(), size);
        write_config(o.config_path, bytes);
    }
    if (table->on_exit) table->on_exit();
    FreeLibrary(module);
    return status;
}
