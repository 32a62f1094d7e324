#include "console/command_line.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/codecs.h"

namespace {

// Where the option summary and the error lines go.
FILE* const kMessages = stderr;

[[noreturn]] void invalid_option(char letter) {
    std::fprintf(kMessages, "ERROR - Invalid option \"%c\" specified\n", letter);
    print_usage(kMessages);
    std::exit(1);
}

// Reads a value the way "%d" does: blanks, an optional sign, decimal digits, up
// to the first other character. No number leaves the field as it was. Numbers
// beyond the int range stop at its bounds; the clamp then takes them in range.
void read_number(const char* text, int32_t& field) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text) return;
    if (value > INT32_MAX) {
        field = INT32_MAX;
    } else if (value < INT32_MIN) {
        field = INT32_MIN;
    } else {
        field = static_cast<int32_t>(value);
    }
}

int32_t* numeric_field(char letter, EncodeSettings& s) {
    switch (letter) {
    case 'c': return &s.compression_control;
    case 'd': return &s.diff_threshold;
    case 'k': return &s.key_seconds;
    case 'p': return &s.pixel_threshold;
    case 'r': return &s.bit_rate;
    case 's': return &s.scene_level;
    default: return nullptr;
    }
}

}  // namespace

DWORD command_line_codec(char letter) { return codec_entry(codec_index_of_letter(letter)).fourcc; }

int parse_command_line(int argc, char** argv, EncodeSettings& settings) {
    settings_set_defaults(settings);
    int index = 1;
    while (index < argc && argv[index][0] == '-') {
        const char* p = argv[index] + 1;
        int consumed = 1;
        while (*p) {
            const char letter = *p++;
            if (letter == 'b') {
                settings.analyse_enabled = 1;
            } else if (letter == 'l') {
                settings.log_enabled = 1;
            } else if (letter == 'q') {
                settings.progress_enabled = 0;
            } else if (letter == 'a') {
                // MP3, when asked for, keeps the audio too.
                if (settings.audio == 0) settings.audio = kAudioCopy;
            } else if (letter == 'm') {
                // Like the other values; a value that is no number leaves MP3 off.
                int32_t kbps = INT32_MIN;
                if (*p) {
                    read_number(p, kbps);
                } else {
                    if (index + consumed >= argc) invalid_option(letter);
                    read_number(argv[index + consumed], kbps);
                    ++consumed;
                }
                if (kbps != INT32_MIN) settings.audio = audio_clamp_kbps(kbps);
                break;
            } else if (letter == 'h') {
                print_banner(argv[0], kMessages);
                std::exit(0);
            } else if (int32_t* field = numeric_field(letter, settings)) {
                // The rest of this argument is the value, else the whole next one.
                if (*p) {
                    read_number(p, *field);
                } else {
                    if (index + consumed >= argc) invalid_option(letter);  // no value left to read
                    read_number(argv[index + consumed], *field);
                    ++consumed;
                }
                break;
            } else if (letter == 'v') {
                if (*p) {
                    settings.codec = command_line_codec(*p++);
                } else {
                    if (index + consumed >= argc) invalid_option(letter);
                    settings.codec = command_line_codec(argv[index + consumed][0]);
                    ++consumed;
                    break;
                }
            } else {
                invalid_option(letter);
            }
        }
        index += consumed;
    }
    return index;
}

const char* path_basename(const char* path) {
    const size_t length = std::strlen(path);
    for (size_t i = length; i > 1; --i) {
        if (path[i - 1] == '\\' || path[i - 1] == '/') return path + i;
    }
    return path;
}

void print_banner(const char* program_path, FILE* stream) {
    std::fprintf(stream, "twopass - automatic two-pass MPEG-4 compressor\n");
    std::fprintf(stream, "    by the twopass developers; provided as is, without any warranty\n\n");
    std::fprintf(stream, "USAGE: %s [options] in.avi[/aup/tpr/.. ] out.avi\n", path_basename(program_path));
    print_usage(stream);
}

void print_usage(FILE* stream) {
    // "1:MPG4,2:MP42,...": each codec's first letter and its FourCC.
    std::string codec_list;
    for (const CodecEntry& c : kCodecs) {
        if (!codec_list.empty()) codec_list += ',';
        codec_list += c.letters[0];
        codec_list += ':';
        codec_list += fourcc_text(c.fourcc).data();
    }
    constexpr SettingRange bit_rate = settings_range(&EncodeSettings::bit_rate);
    constexpr SettingRange key_seconds = settings_range(&EncodeSettings::key_seconds);
    constexpr SettingRange compression = settings_range(&EncodeSettings::compression_control);
    constexpr SettingRange diff = settings_range(&EncodeSettings::diff_threshold);
    constexpr SettingRange pixel = settings_range(&EncodeSettings::pixel_threshold);
    constexpr SettingRange scene = settings_range(&EncodeSettings::scene_level);
    std::fprintf(stream, "options:\n");
    std::fprintf(stream, "  compressor configuration:\n");
    std::fprintf(stream, "    -v C  select codec,        default: %c (%s)\n", kCodecs[kDefaultCodecIndex].letters[0],
                 codec_list.c_str());
    std::fprintf(stream, "    -r N  bit rate,            default: %d kbps\n", bit_rate.default_value);
    std::fprintf(stream, "    -k N  key frame,           default: %d sec\n", key_seconds.default_value);
    std::fprintf(stream, "    -c N  compression ctrl,    default: %d %%\n", compression.default_value);
    std::fprintf(stream, "  block noise detector:\n");
    std::fprintf(stream, "    -d N  difference,          default: %2d (range: %d - %d)\n", diff.default_value, diff.low,
                 diff.high);
    std::fprintf(stream, "    -p N  pixel,               default: %2d (range: %d - %d)\n", pixel.default_value,
                 pixel.low, pixel.high);
    std::fprintf(stream, "  application setting:\n");
    std::fprintf(stream, "    -s N  scene change detect, default: %d (0:NO,1:HIGH,2:MID,3:LOW,.. )\n",
                 scene.default_value);
    std::fprintf(stream, "    -b    analyze bad block\n");
    std::fprintf(stream, "    -l    loging\n");
    std::fprintf(stream, "    -q    quiet\n");
    std::fprintf(stream, "    -a    keep audio (copied as it is)\n");
    std::fprintf(stream, "    -m N  keep audio as MP3, N kbps (%d - %d)\n", kAudioMp3Low, kAudioMp3High);
    std::fprintf(stream, "    -h    print this message\n");
}
