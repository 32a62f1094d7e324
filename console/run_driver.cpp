// The console run: source, writer, log, frame loop with progress, Ctrl-C.
#include "console/run_driver.h"

#include <cerrno>
#include <cfenv>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/ascii.h"
#include "common/stop_signals.h"
#include "console/frame_source.h"
#include "engine/file_identity.h"
#include "engine/mp3.h"
#include "engine/session.h"

namespace {

// Damaged frames in a row after which an input is given up.
constexpr uint32_t kMaxDamagedRun = 25;
// The frame count of an input whose length is not known.
constexpr uint32_t kUnknownFrameCount = 0x7FFFFFFF;

// Which kind reads an input: the first entry whose suffix the path ends in,
// compared without case; the entry without a suffix takes every other path.
struct SourceKind {
    const char* suffix;
    const FrameSourceOps* ops;
};
constexpr SourceKind kSourceKinds[] = {
    {".avi", &avi_source_ops},
    {nullptr, &vfapi_source_ops},
};

// Ctrl-C only raises this flag; the frame loop looks at it between frames and
// then closes writer and source itself, so the file is never completed while
// a frame is half written. A second Ctrl-C (a codec that hangs, say) ends the
// process at once. A request to terminate, to quit, a user signal, or the
// terminal going away, is a Ctrl-C too where the system has those signals.
volatile std::sig_atomic_t g_interrupted = 0;

void set_stop_handler(void (*handler)(int)) {
    for (int signal_number : kStopSignals) std::signal(signal_number, handler);
}

extern "C" void on_interrupt(int signal_number) {
    if (g_interrupted) std::_Exit(1);
    g_interrupted = 1;
    // Some runtimes reset the handler on delivery; keep the second press ours.
    std::signal(signal_number, on_interrupt);
}

int32_t now_seconds() { return static_cast<int32_t>(std::time(nullptr)); }

void print_fourcc(DWORD fourcc, FILE* stream) {
    for (const char c : fourcc_text(fourcc)) {
        if (c) std::fputc(c >= 0x20 && c < 0x7F ? c : '?', stream);
    }
}

// The reason output_open gave, on a line of its own before the driver's
// "Can't open" line; a file that can't be created needs no second line.
void print_open_failure(OutputFailure failure, const EncodeSettings& settings, const char* output_path,
                        const BITMAPINFOHEADER& format) {
    switch (failure) {
        case OutputFailure::too_large:
            std::fprintf(stderr, "ERROR - the picture is %d x %d; at most %d x %d can be encoded\n",
                         static_cast<int>(format.biWidth), static_cast<int>(format.biHeight), encode_max_width,
                         encode_max_height);
            break;
        case OutputFailure::log_is_output:
            std::fprintf(stderr, "ERROR - %s would be its own log\n", output_path);
            break;
        case OutputFailure::codec_unavailable:
            std::fputs("ERROR - no installed codec compresses ", stderr);
            print_fourcc(settings.codec, stderr);
            std::fputs("\n", stderr);
            break;
        case OutputFailure::decoder_unavailable:
            std::fputs("ERROR - the codec can't decode ", stderr);
            print_fourcc(settings.codec, stderr);
            std::fputs(" for verification\n", stderr);
            break;
        case OutputFailure::bad_format:
            std::fputs("ERROR - the input's frame format can't be encoded\n", stderr);
            break;
        case OutputFailure::memory:
            std::fputs("ERROR - not enough memory for the run\n", stderr);
            break;
        default:
            break;
    }
}

void print_progress(int32_t done, uint32_t frame_count, int32_t start, uint32_t byte_total) {
    std::fprintf(stderr, "\rframe: %6d/%6d, rest time: ", done, static_cast<int32_t>(frame_count));
    format_duration(estimate_rest_seconds(done, static_cast<int32_t>(frame_count), start), stderr);
    std::fputs(", estimate size: ", stderr);
    // Unsigned 32-bit on purpose: estimates past 4 GiB wrap.
    format_size(byte_total / static_cast<uint32_t>(done) * frame_count, stderr);
    std::fflush(stderr);
}

// Log and writer first, so the AVI on disk is complete, then the source.
[[noreturn]] void end_interrupted(EncodeSession& session, FrameSource& source) {
    session_close(session);
    frame_source_close(source);
    set_stop_handler(SIG_DFL);
    std::exit(1);
}

// The name among the output and its log that is the input file itself, or null.
const char* written_over_input(const char* input_path, const char* output_path, const EncodeSettings& settings,
                               char*& log_name) {
    if (file_same(input_path, output_path)) return output_path;
    if (settings.log_enabled) {
        log_name = path_replace_extension(output_path, ".log");
        if (log_name && file_same(input_path, log_name)) return log_name;
    }
    return nullptr;
}

// Once, after the log should have been made (with the first frame, or at the
// close of a run without one); the name by the log's own rule, as the session
// may have let go of it.
void warn_missing_log(const EncodeSession& session, const char* output_path, int& warned) {
    if (!session.log_missing || warned) return;
    warned = 1;
    char* name = path_replace_extension(output_path, ".log");
    if (name) std::fprintf(stderr, "WARNING - Can't create log %s\n", name);
    std::free(name);
}

// Once a run each: a bitmap not written because its name is one of the run's
// files, and a bitmap that could not be written (a folder that takes none).
struct PictureWarnings {
    int skipped_told;
    int failed_told;
};

void warn_pictures(const EncodeSession& session, const EncodeSettings& settings, PictureWarnings& told) {
    const AnalysisFiles& files = session.writer.analysis;
    char name[32];
    if (files.skipped && !told.skipped_told) {
        told.skipped_told = 1;
        constexpr const char* kWhat[kAnalysisKeptCount] = {"the input file", "the output file", "the log"};
        analysis_picture_name(files.skipped_frame, name, sizeof name);
        if (settings.progress_enabled) std::fputs("\n", stderr);
        std::fprintf(stderr, "WARNING - %s is %s; no bitmap is written over it\n", name,
                     kWhat[static_cast<int>(files.skipped_file)]);
    }
    if (files.failed && !told.failed_told) {
        told.failed_told = 1;
        analysis_picture_name(files.failed_frame, name, sizeof name);
        if (settings.progress_enabled) std::fputs("\n", stderr);
        std::fprintf(stderr, "WARNING - Can't create bitmap %s\n", name);
    }
}

SourceAudio source_audio_of(const EncodeSettings& settings) {
    if (settings.audio == kAudioOff) return SourceAudio::none;
    return settings.audio == kAudioCopy ? SourceAudio::copy : SourceAudio::pcm;
}

// The source's audio streams, copied or as MP3 at the rate asked for, rounded
// to one MP3 has at each stream's sample rate. 0 when one can't be added.
int add_audio_streams(EncodeSession& session, const FrameSource& source, const EncodeSettings& settings) {
    for (uint32_t i = 0; i < source.audio_count; ++i) {
        AudioStreamDescription description = source.audio[i];
        if (settings.audio >= kAudioMp3Low) {
            const auto* pcm = static_cast<const WAVEFORMATEX*>(description.format);
            description.mp3_kbps = mp3_round_kbps(settings.audio, static_cast<int32_t>(pcm->nSamplesPerSec));
        }
        if (session_add_audio(session, description) < 0) return 0;
    }
    return 1;
}

// The audio that goes with the frame just fetched. 0 when memory ran out.
int queue_frame_audio(EncodeSession& session, FrameSource& source) {
    const FrameAudio& audio = frame_source_audio(source);
    for (uint32_t i = 0; i < audio.chunk_count; ++i) {
        const FrameAudioChunk& c = audio.chunks[i];
        if (!session_queue_audio(session, c.stream, audio.data + c.offset, c.bytes, c.samples)) return 0;
    }
    return 1;
}

}  // namespace

void run_conversion(const char* input_path, const char* output_path, const EncodeSettings& settings) {
    // Installed before anything is created, so that no Ctrl-C can leave a
    // half-made output behind.
    g_interrupted = 0;
    set_stop_handler(on_interrupt);
    stop_signals_ignore_broken_pipe();

    FrameSource source{};
    errno = 0;
    if (!read_ahead_open(frame_source_pick(input_path), input_path, source_audio_of(settings), source)) {
        if (errno == ENOMEM) std::fputs("ERROR - not enough memory for the run\n", stderr);
        std::fprintf(stderr, "Error - Can't open %s\n", input_path);
        std::exit(1);
    }
    const uint32_t frame_count = source.frame_count;
    if (g_interrupted) {
        frame_source_close(source);
        std::exit(1);
    }

    // Writing over the input would destroy it: the names may differ (links),
    // the file may not.
    char* log_name = nullptr;
    if (const char* clash = written_over_input(input_path, output_path, settings, log_name)) {
        std::fprintf(stderr, "ERROR - %s is the input file\n", clash);
        std::fprintf(stderr, "ERROR - Can't open %s\n", output_path);
        frame_source_close(source);
        std::exit(1);
    }
    std::free(log_name);

    if (settings.audio != kAudioOff && source.audio_count == 0)
        std::fprintf(stderr, "WARNING - %s has no audio\n", input_path);

    EncodeSession session{};
    int warned_log = 0;  // the missing log is told once a run
    PictureWarnings picture_warnings{};
    errno = 0;
    if (!session_open(session, output_path, *source.info, *source.format, settings) ||
        !session_keep_input(session, input_path)) {
        // A codec that had no memory to open says only that it failed.
        const int out_of_memory = errno == ENOMEM && session.failure != OutputFailure::memory;
        session_close(session);
        print_open_failure(session.failure, settings, output_path, *source.format);
        if (out_of_memory) std::fputs("ERROR - not enough memory for the run\n", stderr);
        std::fprintf(stderr, "ERROR - Can't open %s\n", output_path);
        frame_source_close(source);
        std::exit(1);
    }
    if (!add_audio_streams(session, source, settings)) {
        if (session.failure == OutputFailure::audio_encoder)
            std::fprintf(stderr, "ERROR - Can't encode the audio of %s as MP3\n", input_path);
        else
            std::fputs("ERROR - not enough memory for the run\n", stderr);
        session_close(session);
        std::fprintf(stderr, "ERROR - Can't open %s\n", output_path);
        frame_source_close(source);
        std::exit(1);
    }

    const int32_t start = now_seconds();
    uint32_t byte_total = 0;
    uint32_t n = 0;
    uint32_t damaged_run = 0;  // frames in a row that could not be decoded
    int input_out_of_memory = 0;  // the input ended because memory ran out reading it
    int codec_out_of_memory = 0;  // the frame that failed had no memory to be compressed
    for (; n < frame_count; ++n) {
        if (g_interrupted) end_interrupted(session, source);
        // Start every frame from the default floating-point environment (the
        // x87 and SSE control words, empty x87 stack), whatever a codec or a
        // reader plug-in left behind.
        std::fesetenv(FE_DFL_ENV);
        const void* bits = nullptr;
        const BITMAPINFOHEADER* header = nullptr;
        const int fetched = frame_source_next(source, &bits, &header);
        if (fetched == kFrameNoMemory) input_out_of_memory = 1;
        if (fetched == kFrameEnd || fetched == kFrameNoMemory) break;
        damaged_run = fetched == kFrameStandIn ? damaged_run + 1 : 0;
        if (damaged_run >= kMaxDamagedRun) break;  // nothing left worth converting
        if (damaged_run) {
            if (settings.progress_enabled) std::fputs("\n", stderr);
            std::fprintf(stderr, "WARNING - frame %u of %s can't be decoded; the frame before stands in for it\n", n,
                         input_path);
        }
        if (!queue_frame_audio(session, source)) {
            input_out_of_memory = 1;
            break;
        }
        // The frame after it, already read ahead, lets the engine compress it
        // while this one is checked.
        const void* next_bits = nullptr;
        const BITMAPINFOHEADER* next_header = nullptr;
        if (n + 1 >= frame_count || !frame_source_peek(source, &next_bits, &next_header)) next_bits = nullptr;
        errno = 0;
        if (!session_encode_frame_ahead(session, static_cast<int32_t>(n), header, bits,
                                        next_bits ? next_header : nullptr, next_bits)) {
            codec_out_of_memory = errno == ENOMEM;
            break;
        }
        warn_missing_log(session, output_path, warned_log);
        warn_pictures(session, settings, picture_warnings);
        if (settings.progress_enabled) {
            byte_total += session_last_bytes(session);
            print_progress(static_cast<int32_t>(n + 1), frame_count, start, byte_total);
        }
    }
    if (g_interrupted) end_interrupted(session, source);

    const int completed = session_close(session);
    frame_source_close(source);
    set_stop_handler(SIG_DFL);

    if (damaged_run >= kMaxDamagedRun) {
        if (settings.progress_enabled) std::fputs("\n", stderr);
        std::fprintf(stderr, "ERROR - frames %u to %u of %s can't be decoded; the run stops there\n",
                     n + 1 - damaged_run, n, input_path);
        std::exit(1);
    }
    // Not the end of the input: the file holds the frames before it.
    if (input_out_of_memory) {
        if (settings.progress_enabled) std::fputs("\n", stderr);
        std::fprintf(stderr, "ERROR - not enough memory to read frame %u of %s; the run stops there\n", n,
                     input_path);
        std::exit(1);
    }
    // The file is created with the first frame: no frame had been shown yet.
    if (session.failure == OutputFailure::file_open) {
        std::fprintf(stderr, "ERROR - Can't open %s\n", output_path);
        std::exit(1);
    }
    warn_missing_log(session, output_path, warned_log);
    const int failed_frame = session.failed_frame;
    if (failed_frame >= 0) {
        if (settings.progress_enabled) std::fputs("\n", stderr);
        if (session.failure == OutputFailure::write)
            std::fprintf(stderr, "ERROR - Can't write frame %d to %s\n", failed_frame, output_path);
        else if (session.failure == OutputFailure::bad_format)
            std::fprintf(stderr, "ERROR - Frame %d is not laid out as frame 0\n", failed_frame);
        else
            std::fprintf(stderr, "ERROR - Can't compress frame %d\n", failed_frame);
        if (codec_out_of_memory && session.failure != OutputFailure::write)
            std::fputs("ERROR - not enough memory for the run\n", stderr);
        std::exit(1);
    }
    if (!completed) {
        if (settings.progress_enabled) std::fputs("\n", stderr);
        std::fprintf(stderr, "ERROR - Can't complete %s\n", output_path);
        std::exit(1);
    }
    if (settings.progress_enabled) {
        std::fputs("\nfinish!! total time: ", stderr);
        format_duration(now_seconds() - start, stderr);
        std::fputs("\n", stderr);
    }
    // An input shorter than it said it was is converted, but not silently;
    // 0x7FFFFFFF is the count of a length that is not known.
    if (n < frame_count && frame_count != kUnknownFrameCount)
        std::fprintf(stderr, "WARNING - the input ended at frame %u of %u\n", n, frame_count);
}

const FrameSourceOps& frame_source_pick(const char* input_path) {
    for (const SourceKind& kind : kSourceKinds)
        if (!kind.suffix || path_has_suffix_nocase(input_path, kind.suffix)) return *kind.ops;
    return vfapi_source_ops;  // not reached: the last entry takes every path
}

void format_duration(int32_t seconds, FILE* stream) {
    const int32_t secs = seconds % 60;
    const int32_t minutes = (seconds / 60) % 60;
    const int32_t hours = (seconds / 3600) % 24;
    const int32_t days = seconds / 86400;
    if (days == 0)
        std::fprintf(stream, "%02d:%02d:%02d", hours, minutes, secs);
    else
        std::fprintf(stream, "%02d:%02d:%02d", days, hours, minutes);
}

void format_size(uint32_t bytes, FILE* stream) {
    const uint32_t g = bytes >> 30;
    const uint32_t m = (bytes >> 20) & 1023;
    const uint32_t k = (bytes >> 10) & 1023;
    const uint32_t b = bytes & 1023;
    const int gi = static_cast<int>(g), mi = static_cast<int>(m), ki = static_cast<int>(k), bi = static_cast<int>(b);
    if (g != 0)
        std::fprintf(stream, "%d.%03d G", gi, static_cast<int>((m * 1000) >> 10));
    else if (m != 0 && m < 10)
        std::fprintf(stream, "%1d.%03d M", mi, static_cast<int>((k * 1000) >> 10));
    else if (m != 0 && m < 100)
        std::fprintf(stream, "%2d.%02d M", mi, static_cast<int>((k * 100) >> 10));
    else if (m != 0 && m < 1000)
        std::fprintf(stream, "%3d.%01d M", mi, static_cast<int>((k * 10) >> 10));
    else if (m != 0)
        std::fprintf(stream, "%4d. M", mi);
    else if (k != 0 && k < 10)
        std::fprintf(stream, "%1d.%03d K", ki, static_cast<int>((b * 1000) >> 10));
    else if (k != 0 && k < 100)
        std::fprintf(stream, "%2d.%02d K", ki, static_cast<int>((b * 100) >> 10));
    else if (k != 0 && k < 1000)
        std::fprintf(stream, "%3d.%01d K", ki, static_cast<int>((b * 10) >> 10));
    else if (k != 0)
        std::fprintf(stream, "%4d. K", ki);
    else
        std::fprintf(stream, "%4d   ", bi);
}

int32_t estimate_rest_seconds(int32_t done, int32_t total, int32_t start) {
    const int32_t elapsed = now_seconds() - start;
    if (done == 0) done = 1;
    // 32-bit signed arithmetic as the display has always used; the product
    // wraps like the machine's multiply instead of being undefined.
    const auto product = static_cast<int32_t>((static_cast<uint32_t>(total) - static_cast<uint32_t>(done)) * static_cast<uint32_t>(elapsed));
    return product / done;
}

int path_has_suffix_nocase(const char* path, const char* suffix) {
    const size_t path_length = std::strlen(path);
    const size_t suffix_length = std::strlen(suffix);
    if (path_length < suffix_length) return 0;
    const char* tail = path + path_length - suffix_length;
    for (size_t i = 0; i < suffix_length; ++i) {
        if (ascii_lower(tail[i]) != ascii_lower(suffix[i])) return 0;
    }
    return 1;
}
