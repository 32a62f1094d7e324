#include "plugin2/output2.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "common/ascii.h"
#include "engine/log.h"
#include "engine/session.h"
#include "plugin/host_audio.h"
#include "plugin2/logger.h"
#include "plugin2/paths.h"

namespace {

const void* fetch_audio(void* context, int start, int length, int* read) {
    return static_cast<const Auo2Request*>(context)->fetch_audio(start, length, read, kAuo2AudioPcm16);
}

std::string fourcc_name(DWORD fourcc) {
    std::string name;
    for (const char c : fourcc_text(fourcc)) {
        if (c) name += c >= 0x20 && c < 0x7F ? c : '?';
    }
    return name;
}

// Why session_open refused, on a line before "Can't open", as the console says it.
void log_open_failure(const EncodeSession& session, const Auo2Request& request, const std::string& path) {
    switch (session.failure) {
        case OutputFailure::too_large:
            auo2_log_error("ERROR - the picture is " + std::to_string(request.width) + " x " +
                           std::to_string(request.height) + "; at most " + std::to_string(encode_max_width) + " x " +
                           std::to_string(encode_max_height) + " can be encoded");
            break;
        case OutputFailure::log_is_output:
            auo2_log_error("ERROR - " + path + " would be its own log");
            break;
        case OutputFailure::codec_unavailable:
            auo2_log_error("ERROR - no installed codec compresses " + fourcc_name(session.settings.codec));
            break;
        case OutputFailure::decoder_unavailable:
            auo2_log_error("ERROR - the codec can't decode " + fourcc_name(session.settings.codec) +
                           " for verification");
            break;
        case OutputFailure::bad_format:
            auo2_log_error("ERROR - the input's frame format can't be encoded");
            break;
        case OutputFailure::memory:
            auo2_log_error("ERROR - not enough memory for the run");
            break;
        default:
            break;
    }
    auo2_log_error("ERROR - Can't open " + path);
}

void warn_missing_log(const EncodeSession& session, const std::string& path) {
    if (!session.log_missing) return;
    char* name = path_replace_extension(path.c_str(), ".log");
    if (name) auo2_log_warning(std::string("WARNING - Can't create log ") + name);
    std::free(name);
}

}  // namespace

bool auo2_output(const Auo2Request& request, PluginConfig& live, int32_t packed_rows) {
    const PluginConfig& config = plugin_config_clamp(live);
    if (!(request.flags & kAuo2RequestVideo) || !request.fetch_video) {
        auo2_log_error("ERROR - the export has no video; vnt.auo2 writes video, with its sound");
        return false;
    }
    std::string path;
    if (!auo2_output_path(request.output_path, path)) {
        auo2_log_error("ERROR - Can't open the output: its name is no UTF-16 text");
        return false;
    }
    const bool audio_wanted = config.audio != kPluginAudioOff && (request.flags & kAuo2RequestAudio) &&
                              request.audio_count > 0 && request.fetch_audio;
    if (audio_wanted && !host_audio_acceptable(request.audio_rate, request.audio_channels)) {
        // A file without the sound asked for would pass for the export.
        auo2_log_error("ERROR - the sound is " + std::to_string(request.audio_channels) + " channels at " +
                       std::to_string(request.audio_rate) + " Hz; vnt.auo2 keeps one or two channels");
        return false;
    }

    const BITMAPINFOHEADER format = make_rgb24_format(request.width, request.height);
    const AVISTREAMINFOA stream_info =
        make_video_stream_info(request.width, request.height, request.rate, request.scale);
    const EncodeSettings encode = plugin_settings_from_config(config);
    EncodeSession session;
    if (!session_open_wide(session, auo2_output_name(request.output_path), stream_info, format, encode)) {
        log_open_failure(session, request, path);
        return false;
    }
    HostAudio audio;
    audio.fetch = fetch_audio;
    audio.context = const_cast<Auo2Request*>(&request);
    if (audio_wanted && !host_audio_open(audio, session, request.audio_rate, request.audio_channels,
                                         request.audio_count, config.audio)) {
        auo2_log_error(session.failure == OutputFailure::memory ? "ERROR - not enough memory for the run"
                                                                : "ERROR - Can't encode the sound as MP3");
        auo2_log_error("ERROR - Can't open " + path);
        session_close(session);  // nothing was written: no file
        return false;
    }
    // Packed rows are laid out again as the DIB the session takes, in one
    // buffer for the whole export; padded ones go to the session as they come.
    const size_t stride = static_cast<size_t>(dib_stride(request.width, 24));
    const size_t packed_stride = static_cast<size_t>(request.width > 0 ? request.width : 0) * 3;
    const size_t rows = static_cast<size_t>(request.height > 0 ? request.height : 0);
    std::unique_ptr<uint8_t[]> padded;
    if (packed_rows && packed_stride != stride) {
        padded.reset(new (std::nothrow) uint8_t[stride * rows]());
        if (!padded) {
            auo2_log_error("ERROR - not enough memory for the run");
            session_close(session);
            return false;
        }
    }
    if (request.set_buffer_size) request.set_buffer_size(kAuo2VideoBuffers, kAuo2AudioBuffers);

    bool completed = true;
    int32_t i = 0;
    for (; i < request.frame_count; ++i) {
        if (request.abort_requested && request.abort_requested()) break;
        if (request.show_remaining_time) request.show_remaining_time(i, request.frame_count);
        if (audio.on && !host_audio_queue_frame(audio, session, stream_info, request.frame_count, i)) {
            auo2_log_error("ERROR - not enough memory for the run");
            completed = false;  // the file stops before this frame
            break;
        }
        const auto* bits = static_cast<const uint8_t*>(request.fetch_video(i, kAuo2VideoRgb24));
        // No frame from the host ends the export there, as the end of a source does.
        if (!bits) {
            auo2_log_warning("WARNING - the editor gave no frame " + std::to_string(i) + "; the export ends there");
            break;
        }
        if (padded) {
            for (size_t y = 0; y < rows; ++y) std::memcpy(&padded[y * stride], bits + y * packed_stride, packed_stride);
            bits = padded.get();
        }
        if (!session_encode_frame(session, i, &format, bits)) {
            const int failed = session.failed_frame;
            if (session.failure == OutputFailure::write)
                auo2_log_error("ERROR - Can't write frame " + std::to_string(failed) + " to " + path);
            else if (session.failure == OutputFailure::file_open)
                auo2_log_error("ERROR - Can't open " + path);
            else
                auo2_log_error("ERROR - Can't compress frame " + std::to_string(failed));
            completed = false;  // the host must not take the file as done
            break;
        }
    }
    warn_missing_log(session, path);
    if (!session_close(session)) {
        if (completed) auo2_log_error("ERROR - Can't complete " + path);
        completed = false;
    }
    return completed;
}
