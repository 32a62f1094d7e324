// Frames of any file that an installed VFAPI reader plug-in opens. Plug-ins
// are listed as values under HKEY_CURRENT_USER\Software\VFPlugin and tried in
// value order; the first that opens the file decodes it straight into a
// bottom-up frame buffer of ours.
//
// Audio, when asked for and the plug-in has it, is read with each frame as
// the span that goes with it (engine/audio.h), on the thread that reads the
// frames, into one buffer of ours: PCM as the plug-in gives it, or made
// 16-bit where the driver needs that.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/frame_source.h"
#include "console/vfapi.h"
#include "engine/audio.h"

namespace {

constexpr char kVfapiRegistryKey[] = "Software\\VFPlugin";
constexpr DWORD kVfapiRegistryTextSize = 260;
// The highest sample rate taken from a plug-in: above any that audio uses.
constexpr DWORD kMaxAudioRate = 768000;

struct VfapiSource {
    HMODULE module;          // the plug-in library, or null
    VfapiHandle handle;      // the plug-in's handle of the open file, or 0
    VfapiFileInfo file_info;
    VfapiVideoInfo video_info;
    VfapiAudioInfo audio_info;
    VfapiFunctionTable functions;
    VfapiVideoRead read_request;  // set up once at the open; only the frame number changes
    BITMAPINFOHEADER* header;     // owned
    AVISTREAMINFOA info;
    uint8_t* frame_buffer;        // owned, one picture, reused for every frame
    HRESULT audio_info_result;    // what QueryStreamInfo answered for the audio

    // The audio kept (audio_count 1) or none (0).
    uint32_t audio_count;
    char* name;                   // owned: the input's path, for the warning
    WAVEFORMATEX wave;            // the output stream's format
    AudioStreamDescription audio_description;
    uint32_t plugin_block;        // bytes of one sample as the plug-in gives it
    bool widen;                   // 8-bit samples made 16-bit
    VfapiAudioRead audio_request;
    int64_t audio_frame;          // the frame whose audio is read next
    int64_t audio_next;           // the position it starts at
    bool audio_ended;             // the plug-in had no more: silence from here on
    uint8_t* audio_buffer;        // owned, grown to the largest span
    size_t audio_capacity;
    FrameAudioChunk chunks[2];
    FrameAudio frame_audio;       // of the frame handed out last
};

// Releases what the record holds, leaving the record itself.
void release(VfapiSource& source) {
    std::free(source.audio_buffer);
    source.audio_buffer = nullptr;
    std::free(source.name);
    source.name = nullptr;
    std::free(source.frame_buffer);
    source.frame_buffer = nullptr;
    std::free(source.header);
    source.header = nullptr;
    if (source.functions.CloseInput && source.handle != 0) source.functions.CloseInput(source.handle);
    source.handle = 0;
    if (source.module) FreeLibrary(source.module);
    source.module = nullptr;
    // The entries point into the library just unloaded.
    std::memset(&source.functions, 0, sizeof source.functions);
}

// Clears the record for the next plug-in and sets the sizes the plug-in reads.
void reset_for_plugin(VfapiSource& source) {
    std::memset(&source, 0, sizeof source);
    source.file_info.dwSize = sizeof(VfapiFileInfo);
    source.video_info.dwSize = sizeof(VfapiVideoInfo);
    source.audio_info.dwSize = sizeof(VfapiAudioInfo);
    source.functions.dwSize = sizeof(VfapiFunctionTable);
}

// Tries one library; on failure nothing of it stays loaded. out_of_memory is
// set when the plug-in said that memory ran out opening the file.
int try_plugin(const char* library, const char* path, VfapiSource& source, int& out_of_memory) {
    reset_for_plugin(source);
    source.module = LoadLibraryA(library);
    if (!source.module) return 0;
    // Through void(*)() as the generic function pointer: the export's real
    // type is only known by its name.
    auto get_plugin_func = reinterpret_cast<VfapiGetPluginFunc>(
        reinterpret_cast<void (*)()>(GetProcAddress(source.module, kVfapiGetPluginFuncName)));
    // A table with a missing entry that we call unconditionally is as good as none.
    const VfapiFunctionTable& table = source.functions;
    if (!get_plugin_func || get_plugin_func(&source.functions) != 0 || !table.OpenInput || !table.QueryFileInfo ||
        !table.QueryStreamInfo || !table.ReadData) {
        FreeLibrary(source.module);
        source.module = nullptr;
        return 0;
    }
    const HRESULT opened = source.functions.OpenInput(path, &source.handle);
    if (opened != 0) {
        if (opened == kVfapiOutOfMemory) out_of_memory = 1;
        release(source);
        return 0;
    }
    return 1;
}

// The frame buffer, read request, header and stream info for the plug-in's
// video stream. 0 when the picture can't be held (empty, oversized, or no
// memory: then out_of_memory is set).
int set_up_video(VfapiSource& source, int& out_of_memory) {
    const VfapiVideoInfo& video = source.video_info;
    // Rows padded to 4 bytes, as the codec reads any DIB.
    const uint64_t pitch = dib_stride(video.dwFrameWidth, video.dwPixelBits);
    const uint64_t buffer_size = pitch * video.dwFrameHeight;
    // A picture larger than any run encodes gets no frame buffer and no
    // frames: its size alone goes on, and the writer refuses it with the
    // message every input gets.
    const bool encodable = encode_size_fits(video.dwFrameWidth, video.dwFrameHeight);
    // Pitch and offsets travel as 32-bit signed numbers, and the header's
    // width and height are signed too.
    // Fewer than 8 bits a pixel describe no picture the codecs take.
    if (video.dwPixelBits < 8 || buffer_size == 0 || (encodable && buffer_size > 0x7FFFFFFFu) ||
        video.dwFrameWidth > 0x7FFFFFFFu || video.dwFrameHeight > 0x7FFFFFFFu)
        return 0;

    if (encodable) source.frame_buffer = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(buffer_size)));
    source.header = static_cast<BITMAPINFOHEADER*>(std::malloc(sizeof(BITMAPINFOHEADER)));
    if ((encodable && !source.frame_buffer) || !source.header) {
        out_of_memory = 1;
        return 0;
    }

    VfapiVideoRead& request = source.read_request;
    request.dwSize = sizeof(VfapiVideoRead);
    request.dwFrameNumberL = 0;
    request.dwFrameNumberH = 0;
    // The plug-in writes top row first; starting at our last row and going
    // down in memory leaves a bottom-up DIB in the buffer.
    if (encodable) request.lpData = source.frame_buffer + (video.dwFrameHeight - 1) * pitch;
    request.lPitch = -static_cast<LONG>(pitch);

    BITMAPINFOHEADER& header = *source.header;
    std::memset(&header, 0, sizeof header);
    header.biSize = sizeof(BITMAPINFOHEADER);
    header.biWidth = static_cast<LONG>(video.dwFrameWidth);
    header.biHeight = static_cast<LONG>(video.dwFrameHeight);
    header.biPlanes = 1;
    header.biBitCount = static_cast<WORD>(video.dwPixelBits);
    header.biCompression = BI_RGB;
    header.biSizeImage = encodable ? static_cast<DWORD>(buffer_size) : 0;
    header.biXPelsPerMeter = 1000;
    header.biYPelsPerMeter = 1000;

    AVISTREAMINFOA& info = source.info;
    std::memset(&info, 0, sizeof info);
    info.fccType = streamtypeVIDEO;
    info.fccHandler = mmioFOURCC('D', 'I', 'B', ' ');
    info.dwScale = video.dwFrameScale;
    info.dwRate = video.dwFrameRate;
    info.rcFrame.right = static_cast<LONG>(video.dwFrameWidth);
    info.rcFrame.bottom = static_cast<LONG>(video.dwFrameHeight);
    return 1;
}

// 0x7FFFFFFF when the plug-in counts 2^32 frames or more, else the low word.
uint32_t frame_count_of(const VfapiSource& source) {
    if (!source.frame_buffer) return 0;  // a picture too large to encode
    return source.video_info.dwFrameCountH != 0 ? 0x7FFFFFFFu : source.video_info.dwFrameCountL;
}

// Prints nothing: the driver's own line says that the input can't be opened.
// out_of_memory is set when memory ran out, here or in a plug-in that says so.
int open_into(const char* path, VfapiSource& source, int& out_of_memory) {
    reset_for_plugin(source);
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kVfapiRegistryKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;

    int found = 0;
    for (DWORD index = 0;; ++index) {
        char name[kVfapiRegistryTextSize];
        BYTE data[kVfapiRegistryTextSize];
        DWORD name_size = sizeof name;
        DWORD data_size = sizeof data;
        // Any value that can't be read, the end of the list included, ends
        // the search; so does a library path that is not terminated within
        // the data, which could not be passed on safely.
        if (RegEnumValueA(key, index, name, &name_size, nullptr, nullptr, data, &data_size) != ERROR_SUCCESS)
            break;
        if (data_size > sizeof data || !std::memchr(data, 0, data_size)) break;
        if (try_plugin(reinterpret_cast<const char*>(data), path, source, out_of_memory)) {
            found = 1;
            break;
        }
    }
    RegCloseKey(key);
    if (!found) return 0;

    source.functions.QueryFileInfo(source.handle, &source.file_info);
    // A file without a picture gives the driver no format to encode.
    if (!(source.file_info.dwStreamFlags & kVfapiHasVideo)) {
        release(source);
        return 0;
    }
    source.functions.QueryStreamInfo(source.handle, kVfapiStreamVideo, &source.video_info);
    if (!set_up_video(source, out_of_memory)) {
        release(source);
        return 0;
    }
    if (source.file_info.dwStreamFlags & kVfapiHasAudio)
        source.audio_info_result =
            source.functions.QueryStreamInfo(source.handle, kVfapiStreamAudio, &source.audio_info);
    return 1;
}

// The output audio stream for the plug-in's audio: PCM as it describes it
// (16-bit where the driver asks for PCM to encode). 0 when the description
// is of no PCM we write, or memory ran out (then out_of_memory is set).
int set_up_audio(VfapiSource& source, SourceAudio audio, const char* path, int& out_of_memory) {
    const VfapiAudioInfo& a = source.audio_info;
    const DWORD rate = a.dwScale ? a.dwRate / a.dwScale : 0;
    if (source.audio_info_result != kVfapiOk || (a.dwChannels != 1 && a.dwChannels != 2) ||
        (a.dwBitsPerSample != 8 && a.dwBitsPerSample != 16) || a.dwBlockAlign != a.dwChannels * a.dwBitsPerSample / 8 ||
        rate == 0 || rate > kMaxAudioRate || a.dwRate % a.dwScale != 0)
        return 0;
    const auto channels = static_cast<WORD>(a.dwChannels);
    source.plugin_block = a.dwBlockAlign;
    source.widen = audio == SourceAudio::pcm && a.dwBitsPerSample == 8;
    if (a.dwBitsPerSample == 16 || source.widen) {
        source.wave = audio_pcm16_format(rate, channels);
    } else {
        source.wave = WAVEFORMATEX{};
        source.wave.wFormatTag = WAVE_FORMAT_PCM;
        source.wave.nChannels = channels;
        source.wave.nSamplesPerSec = rate;
        source.wave.nAvgBytesPerSec = rate * channels;
        source.wave.nBlockAlign = channels;
        source.wave.wBitsPerSample = 8;
    }
    source.audio_description = AudioStreamDescription{audio_pcm_stream_info(source.wave), &source.wave, sizeof source.wave, 0};
    source.audio_request.dwSize = sizeof(VfapiAudioRead);
    const size_t name_size = std::strlen(path) + 1;
    source.name = static_cast<char*>(std::malloc(name_size));
    if (!source.name) {
        out_of_memory = 1;
        return 0;
    }
    std::memcpy(source.name, path, name_size);
    source.audio_count = 1;
    return 1;
}

// Room in the audio buffer for the span of the frame read next (before the
// frame is, so that a lack of memory changes nothing). 0 when memory ran out.
int audio_make_room(VfapiSource& source, int64_t& end) {
    const int64_t count = frame_count_of(source);
    end = audio_frame_end(source.audio_frame, count, source.info, source.audio_description.info);
    if (end < source.audio_next) end = source.audio_next;
    const uint64_t bytes = static_cast<uint64_t>(end - source.audio_next) * source.wave.nBlockAlign;
    // Chunk sizes and the plug-in's buffer size are 32-bit.
    if (bytes > 0x7FFFFFFFu) return 0;
    if (bytes <= source.audio_capacity) return 1;
    auto* grown = static_cast<uint8_t*>(std::realloc(source.audio_buffer, static_cast<size_t>(bytes)));
    if (!grown) return 0;
    source.audio_buffer = grown;
    source.audio_capacity = static_cast<size_t>(bytes);
    return 1;
}

// Reads the samples up to end into the buffer as the frame's chunks: frame
// 0's in two, the lead and the rest. Where the plug-in gives fewer than asked
// (the video's end is never passed), the rest is silence, said once.
void audio_read_span(VfapiSource& source, int64_t end) {
    const int64_t start = source.audio_next;
    const auto count = static_cast<uint32_t>(end - start);
    const uint32_t block = source.wave.nBlockAlign;
    uint32_t got = 0;
    if (count && !source.audio_ended) {
        VfapiAudioRead& request = source.audio_request;
        request.dwSamplePosL = static_cast<DWORD>(start);
        request.dwSamplePosH = static_cast<DWORD>(static_cast<uint64_t>(start) >> 32);
        request.dwSampleCount = count;
        request.dwReadedSampleCount = 0;
        request.dwBufSize = count * source.plugin_block;
        // 8-bit samples land in the buffer's second half and are widened forwards.
        request.lpBuf = source.audio_buffer + static_cast<size_t>(count) * (block - source.plugin_block);
        if (source.functions.ReadData(source.handle, kVfapiStreamAudio, &request) == kVfapiOk)
            got = request.dwReadedSampleCount < count ? request.dwReadedSampleCount : count;
        if (got < count) {
            source.audio_ended = true;
            std::fprintf(stderr, "WARNING - %s: the audio ends before the video; silence is written for the rest\n",
                         source.name);
        }
        if (source.widen) {
            const uint8_t* from = static_cast<const uint8_t*>(request.lpBuf);
            for (size_t i = 0; i < static_cast<size_t>(got) * source.plugin_block; ++i) {
                const auto sample = static_cast<int16_t>((from[i] - 128) * 256);
                std::memcpy(source.audio_buffer + 2 * i, &sample, 2);
            }
        }
    }
    // Silence: 0 for 16-bit samples, the middle value for 8-bit ones.
    if (got < count)
        std::memset(source.audio_buffer + static_cast<size_t>(got) * block, source.wave.wBitsPerSample == 8 ? 0x80 : 0,
                    static_cast<size_t>(count - got) * block);

    FrameAudio& audio = source.frame_audio;
    audio = FrameAudio{source.chunks, 0, source.audio_buffer};
    auto add = [&](int64_t from, int64_t to) {
        if (to <= from) return;
        const auto samples = static_cast<uint32_t>(to - from);
        source.chunks[audio.chunk_count++] =
            FrameAudioChunk{0, static_cast<uint32_t>((from - start) * block), samples * block, samples};
    };
    int64_t lead = start;
    if (source.audio_frame == 0) {
        lead = audio_lead_end(frame_count_of(source), source.info, source.audio_description.info);
        lead = lead < start ? start : lead > end ? end : lead;
        add(start, lead);
    }
    add(lead, end);
    source.audio_next = end;
    ++source.audio_frame;
}

int close_source(void* self) {
    auto* source = static_cast<VfapiSource*>(self);
    if (!source) return 1;
    release(*source);
    std::free(source);
    return 1;
}

int open_source(const char* path, SourceAudio audio, FrameSource& frames) {
    frames = FrameSource{};
    auto* source = static_cast<VfapiSource*>(std::calloc(1, sizeof(VfapiSource)));
    if (!source) {
        errno = ENOMEM;
        return 0;
    }
    int out_of_memory = 0;
    int opened = open_into(path, *source, out_of_memory);
    // The user asked for the sound: audio that can't be read fails the run
    // before its output exists, rather than leave the file silent.
    if (opened && audio != SourceAudio::none && (source->file_info.dwStreamFlags & kVfapiHasAudio) &&
        !set_up_audio(*source, audio, path, out_of_memory)) {
        opened = 0;
        if (!out_of_memory) std::fprintf(stderr, "ERROR - Can't read the audio of %s\n", path);
    }
    if (!opened) {
        close_source(source);
        // Told the way the C library tells it: the plug-in's C library may not be ours.
        if (out_of_memory) errno = ENOMEM;
        return 0;
    }
    const AudioStreamDescription* audio_descriptions = source->audio_count ? &source->audio_description : nullptr;
    frames = FrameSource{&vfapi_source_ops, source, &source->info, source->header, frame_count_of(*source),
                         audio_descriptions, source->audio_count};
    return 1;
}

int next_frame(void* self, const void** pixels, const BITMAPINFOHEADER** header) {
    auto& source = *static_cast<VfapiSource*>(self);
    source.frame_audio = FrameAudio{};
    if (!source.frame_buffer) return 0;  // a picture too large to encode
    int64_t audio_end = 0;
    if (source.audio_count && !audio_make_room(source, audio_end)) {
        errno = ENOMEM;
        return 0;
    }
    VfapiVideoRead& request = source.read_request;
    const HRESULT read = source.functions.ReadData(source.handle, kVfapiStreamVideo, &request);
    if (read != 0) {
        std::printf("DEBUG - ReadData() return non-zero value.\n");
        std::printf("DEBUG - dwSize: %d\n", static_cast<int>(request.dwSize));
        std::printf("DEBUG - dwFrameNumberL: %d, dwFrameNumberH: %d\n", static_cast<int>(request.dwFrameNumberL),
                    static_cast<int>(request.dwFrameNumberH));
        std::printf("DEBUG - lpData: %p\n", static_cast<void*>(request.lpData));
        std::printf("DEBUG - lPitch: %d\n", static_cast<int>(request.lPitch));
        if (read == kVfapiOutOfMemory) errno = ENOMEM;
        return 0;
    }
    if (source.audio_count) audio_read_span(source, audio_end);
    // The picture starts at the buffer (its bottom row), not at lpData.
    *pixels = source.frame_buffer;
    *header = source.header;
    vfapi_frame_number_advance(request);
    return 1;
}

void audio_of(void* self, const FrameAudio** audio) { *audio = &static_cast<VfapiSource*>(self)->frame_audio; }

}  // namespace

const FrameSourceOps vfapi_source_ops = {open_source, next_frame, close_source, nullptr, audio_of};
