// vnt-host2: drives an output plug-in of the 64-bit editor (vnt.auo2 by
// default) as that editor does. It loads the module, calls its start-up
// entries (the log, the configuration handle with an application-data
// folder, InitializePlugin), shows its table and settings line, can run its
// settings dialog, keeps a project file of its own for the plug-in's project
// settings, and exports an AVI file through the plug-in's output entry: the
// file's frames as bottom-up 24-bit DIBs (rows padded to 4 bytes, or packed
// on request), its first 16-bit PCM audio stream as the editor's audio,
// frames read ahead into as many buffers as the plug-in asks for.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/stop_signals.h"
#include "engine/file_identity.h"
#include "engine/platform.h"
#include "plugin2/auo2_abi.h"
#include "tools/host_input/host_input.h"

#ifdef _WIN32
#include <io.h>
#include <shellapi.h>
#define isatty _isatty
#else
#include <unistd.h>

#include "platform/dialog/dialog_script.h"
#endif

namespace {

constexpr char kUsage[] =
    "usage: vnt-host2 [options] [input.avi output.avi]\n"
    "Loads the output plug-in vnt.auo2 as the 64-bit video editor would and exports\n"
    "input.avi to output.avi through it.\n"
    "\n"
    "  --plugin PATH          the plug-in to load (default: vnt.auo2 beside vnt-host2)\n"
    "  --config-dir PATH      the application-data folder handed to the plug-in\n"
    "                         (default: $XDG_CONFIG_HOME/twopass/vnt-host2)\n"
    "  --project FILE         a project: its settings for the plug-in are loaded\n"
    "                         before anything else and saved back at the end\n"
    "  --config-dialog SCRIPT run the plug-in's settings dialog with a script of steps\n"
    "                         separated by ';' (as vnt-host takes them)\n"
    "  --frames N             export at most N frames\n"
    "  --abort-at N           ask the plug-in to stop before frame N\n"
    "  --rows padded|packed   frame rows padded to 4 bytes (the default, as any DIB)\n"
    "                         or packed, width * 3 bytes each\n"
    "  --no-audio             a request without the input's audio\n"
    "  --no-video             a request without video\n"
    "  --no-logger            hand the plug-in no log\n"
    "  -q                     no progress on standard error\n"
    "  -h, --help             this text\n"
    "Without file names, vnt-host2 shows the plug-in and its settings line.\n";

struct Options {
    std::string plugin_path;
    std::string config_dir;
    std::string project_path;
    bool have_dialog = false;
    std::string dialog_script;
    int frame_limit = INT_MAX;
    int abort_at = -1;
    bool packed_rows = false;
    bool audio = true;
    bool video = true;
    bool logger = true;
    bool quiet = false;
    std::vector<std::string> files;
};

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "vnt-host2: %s\n", message.c_str());
    std::exit(1);
}

bool parse_int(const char* text, int& value) {
    if (!text || !*text) return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno || *end || v < INT_MIN || v > INT_MAX) return false;
    value = static_cast<int>(v);
    return true;
}

// ---- UTF-16, the editor's texts ----

std::u16string utf16_of(const std::string& utf8) {
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        const int extra = b < 0x80 ? 0 : b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : -1;
        if (extra < 0 || (extra > 0 && i + static_cast<size_t>(extra) >= utf8.size()))
            fail("a name that is no UTF-8: " + utf8);
        char32_t c = extra == 0 ? b : b & (0x3F >> extra);
        for (size_t k = 1; k <= static_cast<size_t>(extra); ++k)
            c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += static_cast<size_t>(extra) + 1;
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

std::string utf8_of(Auo2Text text) {
    if (!text) return "(none)";
    std::string out;
    for (Auo2Text p = text; *p; ++p) {
        char32_t c = *p;
        if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(p[1]) - 0xDC00);
            ++p;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
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

std::string default_config_dir() {
#ifdef _WIN32
    const char* base = std::getenv("APPDATA");
    return std::string(base ? base : ".") + "\\twopass\\vnt-host2";
#else
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg) return std::string(xdg) + "/twopass/vnt-host2";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : ".") + "/.config/twopass/vnt-host2";
#endif
}

Options parse_options(int argc, char** argv) {
    Options o;
    o.plugin_path = self_directory() + "/vnt.auo2";
    o.config_dir = default_config_dir();
    auto value_of = [&](int& i) -> const char* {
        if (i + 1 >= argc) fail(std::string("option ") + argv[i] + " needs a value");
        return argv[++i];
    };
    auto count_of = [&](int& i) {
        const char* name = argv[i];
        int v = 0;
        if (!parse_int(value_of(i), v) || v < 0) fail(std::string("option ") + name + " needs a count of 0 or more");
        return v;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (a == "--plugin") {
            o.plugin_path = value_of(i);
            // A bare file name means the one here, not one on the loader's search path.
            if (o.plugin_path.find_first_of("/\\") == std::string::npos) o.plugin_path = "./" + o.plugin_path;
        } else if (a == "--config-dir") {
            o.config_dir = value_of(i);
        } else if (a == "--project") {
            o.project_path = value_of(i);
        } else if (a == "--config-dialog") {
            o.have_dialog = true;
            o.dialog_script = value_of(i);
        } else if (a == "--frames") {
            o.frame_limit = count_of(i);
        } else if (a == "--abort-at") {
            o.abort_at = count_of(i);
        } else if (a == "--rows") {
            const std::string v = value_of(i);
            if (v != "padded" && v != "packed") fail("--rows takes padded or packed");
            o.packed_rows = v == "packed";
        } else if (a == "--no-audio") {
            o.audio = false;
        } else if (a == "--no-video") {
            o.video = false;
        } else if (a == "--no-logger") {
            o.logger = false;
        } else if (a == "-q") {
            o.quiet = true;
        } else if (a.size() > 1 && a[0] == '-') {
            fail("unknown option " + a + " (see vnt-host2 -h)");
        } else {
            o.files.push_back(a);
        }
    }
    if (!o.files.empty() && o.files.size() != 2) fail("give an input and an output file, or none");
    return o;
}

// ---- the handles the start-up entries get ----

void log_at(const char* level, Auo2Text message) {
    std::fprintf(stderr, "vnt-host2: log %s: %s\n", level, utf8_of(message).c_str());
}
Auo2Logger g_logger = {
    [](Auo2Logger*, Auo2Text m) { log_at("plugin", m); }, [](Auo2Logger*, Auo2Text m) { log_at("info", m); },
    [](Auo2Logger*, Auo2Text m) { log_at("warn", m); },   [](Auo2Logger*, Auo2Text m) { log_at("error", m); },
    [](Auo2Logger*, Auo2Text m) { log_at("verbose", m); },
};

std::u16string g_app_data;
Auo2FontInfo g_font = {u"MS UI Gothic", 9.0f};
Auo2ConfigHandle g_config = {
    nullptr,
    [](Auo2ConfigHandle*, Auo2Text text) { return text; },
    [](Auo2ConfigHandle*, Auo2Text, Auo2Text text) { return text; },
    [](Auo2ConfigHandle*, const char*) { return &g_font; },
    [](Auo2ConfigHandle*, const char*) { return 0; },
    [](Auo2ConfigHandle*, const char*) { return 0; },
    [](Auo2ConfigHandle*, const char*, int) { return 0; },
};

// ---- the project file: the plug-in's keys and their strings or blocks ----
//
// A text file of ours: a first line naming it, then "string KEY=VALUE" or
// "binary KEY=HEX" lines; in a string, backslash, line feed and carriage
// return are written \\, \n and \r.

constexpr char kProjectFirstLine[] = "vnt-host2 project";

struct ProjectEntry {
    bool binary = false;
    std::string bytes;
};
std::map<std::string, ProjectEntry> g_project;
std::u16string g_project_path;

std::string escape(const std::string& s) {
    std::string out;
    for (const char c : s) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        out += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return out;
}

void project_read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return;  // a new project
    std::string line;
    if (!std::getline(in, line) || line != kProjectFirstLine) fail(path + " is not a project of vnt-host2");
    while (std::getline(in, line)) {
        const size_t space = line.find(' '), equals = line.find('=');
        if (space == std::string::npos || equals == std::string::npos || equals < space)
            fail(path + ": a line that is no project entry");
        ProjectEntry e;
        const std::string kind = line.substr(0, space), key = line.substr(space + 1, equals - space - 1);
        const std::string value = line.substr(equals + 1);
        if (kind == "string") {
            e.bytes = unescape(value);
        } else if (kind == "binary" && value.size() % 2 == 0) {
            e.binary = true;
            for (size_t i = 0; i < value.size(); i += 2)
                e.bytes += static_cast<char>(std::stoi(value.substr(i, 2), nullptr, 16));
        } else {
            fail(path + ": a line that is no project entry");
        }
        g_project[key] = e;
    }
}

void project_write(const std::string& path) {
    std::ifstream existing(path, std::ios::binary);
    std::string first;
    if (existing && (!std::getline(existing, first) || first != kProjectFirstLine))
        fail("not saving the project over " + path + ": it is not a project of vnt-host2");
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << kProjectFirstLine << '\n';
    for (const auto& [key, e] : g_project) {
        if (!e.binary) {
            out << "string " << key << '=' << escape(e.bytes) << '\n';
            continue;
        }
        out << "binary " << key << '=';
        for (const char c : e.bytes) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(c));
            out << hex;
        }
        out << '\n';
    }
    if (!out.flush()) fail("can't write the project " + path);
}

Auo2Project g_project_handle = {
    [](const char* key) -> const char* {
        const auto it = key ? g_project.find(key) : g_project.end();
        return it == g_project.end() || it->second.binary ? nullptr : it->second.bytes.c_str();
    },
    [](const char* key, const char* value) {
        if (key && value) g_project[key] = ProjectEntry{false, value};
    },
    [](const char* key, void* data, int size) {
        const auto it = key ? g_project.find(key) : g_project.end();
        if (it == g_project.end() || !it->second.binary || !data || size < 0 ||
            it->second.bytes.size() != static_cast<size_t>(size))
            return false;
        std::memcpy(data, it->second.bytes.data(), it->second.bytes.size());
        return true;
    },
    [](const char* key, void* data, int size) {
        if (!key || !data || size < 0 || size > kAuo2ProjectBinaryMost) {
            std::fprintf(stderr, "vnt-host2: the plug-in's block of %d bytes is not kept in the project\n", size);
            return;
        }
        g_project[key] = ProjectEntry{true, std::string(static_cast<const char*>(data), static_cast<size_t>(size))};
    },
    [] { g_project.clear(); },
    [] { return static_cast<Auo2Text>(g_project_path.c_str()); },
};

// ---- the export: the editor's side of the request ----

volatile sig_atomic_t g_interrupted = 0;

struct HostRun {
    HostInput input;
    bool packed_rows = false;
    int abort_at = -1;
    bool quiet = false;
    bool tty = false;
    int last_reported = -1;
    int frames_fetched = 0;  // frames the plug-in fetched (not those read ahead)
    // The read-ahead: frame n's picture in slot n % slots, the host keeping
    // the frames up to half its buffers ahead of the one asked for.
    int video_buffers = kAuo2DefaultBuffers;
    int audio_buffers = kAuo2DefaultBuffers;
    int buffer_requests = 0;
    std::vector<std::vector<uint8_t>> slots;
    std::vector<int> slot_frame;  // the frame a slot holds, -1 none
    int most_ahead = 0;           // the farthest ahead a frame was read
    size_t frame_bytes = 0;
    // Audio the plug-in fetched, for the line after the export.
    int audio_fetches = 0;
    int64_t audio_fetched = 0;
    int wrong_formats = 0;  // fetches in a format the host doesn't hand out here
};
HostRun g_run;

void on_interrupt(int signal_number) {
    if (g_interrupted) std::_Exit(1);
    g_interrupted = 1;
    signal(signal_number, on_interrupt);
}

void set_stop_handler(void (*handler)(int)) {
    for (int signal_number : kStopSignals) signal(signal_number, handler);
}

// Frame n into its slot, rows as the run hands them out; false when it can't be read.
bool read_into_slot(int frame) {
    const size_t slot = static_cast<size_t>(frame) % g_run.slots.size();
    if (g_run.slot_frame[slot] == frame) return true;
    const uint8_t* bits = host_input_frame(g_run.input, frame);
    if (!bits) return false;
    std::vector<uint8_t>& out = g_run.slots[slot];
    out.resize(g_run.frame_bytes);
    const size_t padded = dib_stride(g_run.input.width, 24);
    const size_t row = g_run.packed_rows ? static_cast<size_t>(g_run.input.width) * 3 : padded;
    for (size_t y = 0; y < static_cast<size_t>(g_run.input.height); ++y)
        std::memcpy(&out[y * row], bits + y * padded, row);
    g_run.slot_frame[slot] = frame;
    return true;
}

void* host_fetch_video(int frame, DWORD format) {
    if (format != kAuo2VideoRgb24) {
        ++g_run.wrong_formats;
        return nullptr;
    }
    if (frame < 0 || static_cast<DWORD>(frame) >= g_run.input.length) return nullptr;
    if (!read_into_slot(frame)) return nullptr;
    ++g_run.frames_fetched;
    const int ahead = std::max(0, std::min(g_run.video_buffers / 2, static_cast<int>(g_run.slots.size()) - 1));
    for (int k = 1; k <= ahead && static_cast<DWORD>(frame + k) < g_run.input.length; ++k) {
        if (!read_into_slot(frame + k)) break;
        g_run.most_ahead = std::max(g_run.most_ahead, k);
    }
    return g_run.slots[static_cast<size_t>(frame) % g_run.slots.size()].data();
}

void* host_fetch_audio(int start, int length, int* read, DWORD format) {
    ++g_run.audio_fetches;
    if (format != kAuo2AudioPcm16) {
        ++g_run.wrong_formats;
        if (read) *read = 0;
        return nullptr;
    }
    int got = 0;
    const uint8_t* out = host_input_audio(g_run.input, start, length, &got);
    g_run.audio_fetched += got;
    if (read) *read = got;
    return const_cast<uint8_t*>(out);
}

bool host_abort_requested() {
    return g_interrupted || (g_run.abort_at >= 0 && g_run.frames_fetched >= g_run.abort_at);
}

void host_show_remaining_time(int frame, int total) {
    if (g_run.quiet || total <= 0) return;
    if (g_run.tty) {
        std::fprintf(stderr, "\rvnt-host2: frame %d of %d", frame + 1, total);
        return;
    }
    const int quarter = static_cast<int>(static_cast<int64_t>(frame) * 4 / total);
    if (quarter != g_run.last_reported) std::fprintf(stderr, "vnt-host2: frame %d of %d\n", frame + 1, total);
    g_run.last_reported = quarter;
}

// The editor holds the buffers it is asked for (at least one frame).
void host_set_buffer_size(int video, int audio) {
    ++g_run.buffer_requests;
    g_run.video_buffers = std::clamp(video, 1, 64);
    g_run.audio_buffers = std::clamp(audio, 1, 64);
    g_run.slots.assign(static_cast<size_t>(g_run.video_buffers), {});
    g_run.slot_frame.assign(static_cast<size_t>(g_run.video_buffers), -1);
}

int export_file(const Auo2Table& table, const Options& o) {
    const std::string& in_path = o.files[0];
    const std::string& out_path = o.files[1];
    if (file_same(in_path.c_str(), out_path.c_str())) fail(out_path + " is the input file");
    switch (host_input_open(g_run.input, in_path.c_str())) {
        case HostInputOpen::ok:
            break;
        case HostInputOpen::cant_open:
            fail("can't open " + in_path);
        case HostInputOpen::no_video:
            fail(in_path + " has no video stream");
        case HostInputOpen::cant_decode:
            fail("can't decode the video of " + in_path);
    }
    const HostInput& in = g_run.input;
    g_run.packed_rows = o.packed_rows;
    g_run.abort_at = o.abort_at;
    g_run.quiet = o.quiet;
    g_run.tty = isatty(2) != 0;
    g_run.frame_bytes = (o.packed_rows ? static_cast<size_t>(in.width) * 3 : dib_stride(in.width, 24)) *
                        static_cast<size_t>(in.height);
    host_set_buffer_size(kAuo2DefaultBuffers, kAuo2DefaultBuffers);
    g_run.buffer_requests = 0;

    const std::u16string output = utf16_of(out_path);
    Auo2Request request{};
    request.flags = o.video ? kAuo2RequestVideo : 0;
    request.width = in.width;
    request.height = in.height;
    request.rate = static_cast<int32_t>(in.rate);
    request.scale = static_cast<int32_t>(in.scale);
    request.frame_count = static_cast<int32_t>(std::min<DWORD>(in.length, static_cast<DWORD>(o.frame_limit)));
    request.output_path = output.c_str();
    request.fetch_video = host_fetch_video;
    request.fetch_audio = host_fetch_audio;
    request.abort_requested = host_abort_requested;
    request.show_remaining_time = host_show_remaining_time;
    request.set_buffer_size = host_set_buffer_size;
    const int audio = o.audio ? host_input_open_audio(g_run.input) : 0;
    if (audio < 0)
        std::fprintf(stderr, "vnt-host2: the audio of %s is not 16-bit PCM: the plug-in gets none\n", in_path.c_str());
    if (audio > 0) {
        request.flags |= kAuo2RequestAudio;
        request.audio_rate = in.audio_rate;
        request.audio_channels = in.audio_channels;
        // The editor's audio ends with its video.
        const int64_t video_end =
            static_cast<int64_t>(request.frame_count) * in.scale * in.audio_rate / std::max<DWORD>(in.rate, 1);
        request.audio_count = static_cast<int32_t>(std::min<int64_t>(in.audio_count, video_end));
    }

    set_stop_handler(on_interrupt);
    const bool ok = table.on_output(&request);
    set_stop_handler(SIG_DFL);
    if (!o.quiet && g_run.tty) std::fputc('\n', stderr);
    host_input_close(g_run.input);

    if (g_run.wrong_formats)
        std::fprintf(stderr, "vnt-host2: the plug-in asked %d times for a format other than a DIB or 16-bit PCM\n",
                     g_run.wrong_formats);
    if (!ok) {
        std::fprintf(stderr, "vnt-host2: the plug-in could not export to %s\n", out_path.c_str());
        return 1;
    }
    const bool stopped = host_abort_requested() && g_run.frames_fetched < request.frame_count;
    if (!o.quiet || stopped) {
        std::fprintf(stderr, "vnt-host2: %d of %d frames %s %s\n", g_run.frames_fetched, request.frame_count,
                     stopped ? "written before the stop to" : "written to", out_path.c_str());
        if (audio > 0)
            std::fprintf(stderr, "vnt-host2: the plug-in fetched %lld of %d audio samples in %d calls\n",
                         static_cast<long long>(g_run.audio_fetched), request.audio_count, g_run.audio_fetches);
        if (g_run.buffer_requests)
            std::fprintf(stderr,
                         "vnt-host2: the plug-in asked for %d video and %d audio buffers; frames were read up to %d "
                         "ahead\n",
                         g_run.video_buffers, g_run.audio_buffers, g_run.most_ahead);
    }
    return stopped ? 1 : 0;
}

#ifndef _WIN32
int run_dialog(const Auo2Table& table, HMODULE module, const std::string& script) {
    // No common controls registered here: the plug-in registers what its dialog needs.
    if (!dialog_script_set(script.c_str())) fail(std::string("dialog script: ") + dialog_script_error());
    const bool answered = table.on_config(nullptr, module);
    INT_PTR result = 0;
    const std::string error = dialog_script_error();
    if (!answered || !dialog_last_result(&result) || result == -1 || !error.empty()) {
        std::fprintf(stderr, "vnt-host2: settings dialog: %s\n", error.empty() ? "not shown" : error.c_str());
        return 0;
    }
    std::fprintf(stderr, "vnt-host2: settings dialog closed with %s\n", result == 1 ? "OK" : "Cancel");
    return 1;
}
#else
int run_dialog(const Auo2Table& table, HMODULE module, const std::string&) {
    return table.on_config(nullptr, module) ? 1 : 0;
}
#endif

void print_table(const Auo2Table& t) {
    std::printf("plug-in:     %s\n", utf8_of(t.name).c_str());
    std::printf("information: %s\n", utf8_of(t.information).c_str());
    std::printf("file filter:");
    Auo2Text p = t.file_filter;
    for (int n = 0; p && *p && n < 32; ++n) {
        if (n % 2) std::printf(" = %s", utf8_of(p).c_str());
        else std::printf("%s %s", n ? ";" : "", utf8_of(p).c_str());
        while (*p) ++p;
        ++p;
    }
    std::printf("\nflags:      ");
    constexpr std::pair<int32_t, const char*> kFlags[] = {{kAuo2TableVideo, "video"},
                                                          {kAuo2TableAudio, "audio"},
                                                          {kAuo2TableStillImage, "still-image"},
                                                          {kAuo2TableProjectConfig, "project-settings"}};
    for (const auto& [bit, name] : kFlags) {
        if (t.flags & bit) std::printf(" %s", name);
    }
    std::printf("\n");
    if (t.on_config_text) std::printf("settings:    %s\n", utf8_of(t.on_config_text()).c_str());
}

template <class F>
F entry(HMODULE module, const char* name) {
    // Through void (*)(): the generic function type that any other converts to without complaint.
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

#ifdef _WIN32
// The command line as UTF-8 of its UTF-16, as every name is kept here: an
// output name the ANSI code page can't hold reaches the plug-in whole.
std::vector<std::string> command_line_utf8() {
    int argc = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!wide) fail("can't read the command line");
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide[i], -1, nullptr, 0, nullptr, nullptr);
        if (n <= 0) fail("an argument that is no UTF-16 text");
        std::string a(static_cast<size_t>(n), '\0');
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide[i], -1, a.data(), n, nullptr, nullptr);
        a.pop_back();
        args.push_back(std::move(a));
    }
    LocalFree(wide);
    return args;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    stop_signals_ignore_broken_pipe();
#ifdef _WIN32
    std::vector<std::string> utf8_args = command_line_utf8();
    std::vector<char*> utf8_argv;
    for (std::string& a : utf8_args) utf8_argv.push_back(a.data());
    utf8_argv.push_back(nullptr);
    argc = static_cast<int>(utf8_args.size());
    argv = utf8_argv.data();
#endif
    const Options o = parse_options(argc, argv);

    HMODULE module = LoadLibraryA(o.plugin_path.c_str());
    if (!module) fail("can't load the plug-in " + o.plugin_path);
    const auto get_table = entry<Auo2GetTableFunc>(module, "GetOutputPluginTable");
    if (!get_table) fail(o.plugin_path + " is not an output plug-in of the 64-bit editor");
    // The start-up entries, in the editor's order, before the table is asked for.
    if (const auto init_logger = entry<Auo2InitializeLoggerFunc>(module, "InitializeLogger"); init_logger && o.logger)
        init_logger(&g_logger);
    if (const auto init_config = entry<Auo2InitializeConfigFunc>(module, "InitializeConfig")) {
        g_app_data = utf16_of(o.config_dir);
        g_config.app_data_path = g_app_data.c_str();
        init_config(&g_config);
    }
    if (const auto init_plugin = entry<Auo2InitializePluginFunc>(module, "InitializePlugin");
        init_plugin && !init_plugin(0))
        fail("the plug-in " + o.plugin_path + " refused to start");
    const Auo2Table* table = get_table();
    if (!table || !table->on_output) fail(o.plugin_path + " is not an output plug-in of the 64-bit editor");

    const bool project = !o.project_path.empty() && (table->flags & kAuo2TableProjectConfig) &&
                         table->on_load_project && table->on_save_project;
    if (project) {
        project_read(o.project_path);
        g_project_path = utf16_of(o.project_path);
        if (!table->on_load_project(&g_project_handle))
            std::fprintf(stderr, "vnt-host2: the plug-in could not load its settings from the project\n");
    } else if (!o.project_path.empty()) {
        std::fprintf(stderr, "vnt-host2: the plug-in keeps no settings in projects\n");
    }

    int status = 0;
    if (o.have_dialog && !table->on_config) fail("the plug-in has no settings dialog");
    if (o.have_dialog && !run_dialog(*table, module, o.dialog_script)) status = 1;
    if (status == 0) {
        if (o.files.empty()) {
            print_table(*table);
        } else {
            if (!o.quiet) std::fprintf(stderr, "vnt-host2: %s\n", utf8_of(table->name).c_str());
            status = export_file(*table, o);
        }
    }
    if (project) {
        if (!table->on_save_project(&g_project_handle))
            std::fprintf(stderr, "vnt-host2: the plug-in could not save its settings in the project\n");
        project_write(o.project_path);
    }
    if (const auto uninit = entry<Auo2UninitializePluginFunc>(module, "UninitializePlugin")) uninit();
    FreeLibrary(module);
    return status;
}
