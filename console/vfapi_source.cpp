// Frames of any file that an installed VFAPI reader plug-in opens. Plug-ins
// are listed as values under HKEY_CURRENT_USER\Software\VFPlugin and tried in
// value order; the first that opens the file decodes it straight into a
// bottom-up frame buffer of ours.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/frame_source.h"
#include "console/vfapi.h"

namespace {

constexpr char kVfapiRegistryKey[] = "Software\\VFPlugin";
constexpr DWORD kVfapiRegistryTextSize = 260;

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
};

// Releases what the record holds, leaving the record itself.
void release(VfapiSource& source) {
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
        source.functions.QueryStreamInfo(source.handle, kVfapiStreamAudio, &source.audio_info);
    return 1;
}

int close_source(void* self) {
    auto* source = static_cast<VfapiSource*>(self);
    if (!source) return 1;
    release(*source);
    std::free(source);
    return 1;
}

int open_source(const char* path, SourceAudio, FrameSource& frames) {
    frames = FrameSource{};
    auto* source = static_cast<VfapiSource*>(std::calloc(1, sizeof(VfapiSource)));
    if (!source) {
        errno = ENOMEM;
        return 0;
    }
    int out_of_memory = 0;
    if (!open_into(path, *source, out_of_memory)) {
        close_source(source);
        // Told the way the C library tells it: the plug-in's C library may not be ours.
        if (out_of_memory) errno = ENOMEM;
        return 0;
    }
    frames = FrameSource{&vfapi_source_ops, source, &source->info, source->header, frame_count_of(*source), nullptr, 0};
    return 1;
}

int next_frame(void* self, const void** pixels, const BITMAPINFOHEADER** header) {
    auto& source = *static_cast<VfapiSource*>(self);
    if (!source.frame_buffer) return 0;  // a picture too large to encode
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
    // The picture starts at the buffer (its bottom row), not at lpData.
    *pixels = source.frame_buffer;
    *header = source.header;
    vfapi_frame_number_advance(request);
    return 1;
}

}  // namespace

const FrameSourceOps vfapi_source_ops = {open_source, next_frame, close_source, nullptr, nullptr};
