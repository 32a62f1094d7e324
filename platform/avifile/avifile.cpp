// The AVIFile entry points: handles, references and the choice between the
// reader and the writer. A file lives while it or one of its streams (or a
// frame decoder on one) is referenced; the last release of a file being
// written completes it on disk.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <unordered_set>

#include "platform/avifile/avi_internal.h"
#ifdef TWOPASS_TEST_HOOKS
#include "platform/avifile/avifile_testing.h"
#endif
#include "platform/base/file_replace.h"
#include "platform/base/wide_name.h"

namespace {

std::mutex g_lock;
int g_init_count = 0;
// Handles that are alive, so that a release too many or a stale handle is
// answered with an error instead of touching freed memory.
std::unordered_set<const void*> g_live;

bool live(const void* handle) {
    std::lock_guard<std::mutex> hold(g_lock);
    return handle && g_live.count(handle) != 0;
}

// Drops one reference of the file; the last one completes and frees it.
// Answers false when completing the file failed.
bool file_unref(IAVIFile* file) {
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (--file->refs > 0) return true;
        g_live.erase(file);
        for (auto& h : file->handles) g_live.erase(h.get());
    }
    bool ok = true;
    if (file->writing) {
        ok = avi::write_finish(*file);
        if (close(file->fd) != 0) ok = false;
        file->fd = -1;
    }
    delete file;
    return ok;
}

}  // namespace

namespace avi {
void stream_add_ref(IAVIStream* stream) {
    std::lock_guard<std::mutex> hold(g_lock);
    stream->refs++;
    stream->file->refs++;
}
}  // namespace avi

void VFWAPI AVIFileInit(void) {
    std::lock_guard<std::mutex> hold(g_lock);
    ++g_init_count;
}

// Nothing is torn down: files still open stay usable, and an Exit without an
// Init is harmless.
void VFWAPI AVIFileExit(void) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_init_count > 0) --g_init_count;
}

HRESULT VFWAPI AVIFileOpenA(PAVIFILE* ppfile, LPCSTR szFile, UINT uMode, LPCLSID /*lpHandler*/) {
    if (!ppfile) return AVIERR_BADPARAM;
    *ppfile = nullptr;
    if (!szFile || !*szFile) return AVIERR_BADPARAM;
    auto file = std::make_unique<IAVIFile>();
    HRESULT r;
    if (uMode & OF_CREATE) {
        // A new file, so that a reader of the one it replaces sees that one
        // unchanged; another run writing the same file is refused.
        file->fd = file_replace_open(szFile, (uMode & OF_SHARE_EXCLUSIVE) != 0);
        if (file->fd < 0) return AVIERR_FILEOPEN;
        file->writing = true;
        r = avi::write_open(*file);
    } else if (uMode & (OF_WRITE | OF_READWRITE)) {
        return AVIERR_UNSUPPORTED;  // editing an existing file is not supported
    } else {
        file->fd = open(szFile, O_RDONLY | O_CLOEXEC);
        if (file->fd < 0) return AVIERR_FILEOPEN;
        try {
            r = avi::read_open(*file);
        } catch (const std::bad_alloc&) {
            r = AVIERR_MEMORY;
        }
        if (r == AVIERR_OK) {
            for (auto& s : file->streams) {
                auto h = std::make_unique<IAVIStream>();
                h->file = file.get();
                h->read = s.get();
                file->handles.push_back(std::move(h));
            }
        }
    }
    if (r != AVIERR_OK) return r;
    file->refs = 1;
    std::lock_guard<std::mutex> hold(g_lock);
    g_live.insert(file.get());
    for (auto& h : file->handles) g_live.insert(h.get());
    *ppfile = file.release();
    return AVIERR_OK;
}

HRESULT VFWAPI AVIFileOpenW(PAVIFILE* ppfile, LPCWSTR szFile, UINT uMode, LPCLSID lpHandler) {
    if (!ppfile) return AVIERR_BADPARAM;
    *ppfile = nullptr;
    const std::string name = wide_name_utf8(szFile);
    if (name.empty()) return AVIERR_BADPARAM;
    return AVIFileOpenA(ppfile, name.c_str(), uMode, lpHandler);
}

HRESULT VFWAPI AVIFileGetStream(PAVIFILE pfile, PAVISTREAM* ppavi, DWORD fccType, LONG lParam) {
    if (!ppavi) return AVIERR_BADPARAM;
    *ppavi = nullptr;
    if (!live(pfile)) return AVIERR_BADHANDLE;
    LONG seen = 0;
    for (auto& h : pfile->handles) {
        AVISTREAMINFOA info{};
        if (h->read) info = h->read->info;
        else avi::write_stream_info(*h, info);
        DWORD type = info.fccType;
        if (fccType != 0 && type != fccType) continue;
        if (seen++ == lParam) {
            avi::stream_add_ref(h.get());
            *ppavi = h.get();
            return AVIERR_OK;
        }
    }
    return AVIERR_NODATA;
}

HRESULT VFWAPI AVIFileCreateStreamA(PAVIFILE pfile, PAVISTREAM* ppavi, AVISTREAMINFOA* psi) {
    if (!ppavi) return AVIERR_BADPARAM;
    *ppavi = nullptr;
    if (!psi) return AVIERR_BADPARAM;
    if (!live(pfile)) return AVIERR_BADHANDLE;
    if (!pfile->writing) return AVIERR_READONLY;
    IAVIStream* stream = nullptr;
    HRESULT r = avi::write_create_stream(*pfile, *psi, &stream);
    if (r != AVIERR_OK) return r;
    std::lock_guard<std::mutex> hold(g_lock);
    g_live.insert(stream);
    pfile->refs++;
    *ppavi = stream;
    return AVIERR_OK;
}

ULONG VFWAPI AVIFileRelease(PAVIFILE pfile) {
    if (!live(pfile)) return 0;
    ULONG left;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        left = pfile->refs - 1;
    }
    bool ok = file_unref(pfile);
    return ok ? left : left + 1;
}

ULONG VFWAPI AVIStreamRelease(PAVISTREAM pavi) {
    if (!live(pavi)) return 0;
    ULONG left;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (pavi->refs == 0) return 0;
        left = --pavi->refs;
    }
    bool ok = file_unref(pavi->file);
    return ok ? left : left + 1;
}

HRESULT VFWAPI AVIStreamInfoA(PAVISTREAM pavi, AVISTREAMINFOA* psi, LONG lSize) {
    if (!psi || lSize < 0) return AVIERR_BADPARAM;
    if (!live(pavi)) return AVIERR_BADHANDLE;
    AVISTREAMINFOA info{};
    if (pavi->read) {
        info = pavi->read->info;
    } else {
        avi::write_stream_info(*pavi, info);
    }
    std::memcpy(psi, &info, std::min<std::size_t>(static_cast<std::size_t>(lSize), sizeof info));
    return AVIERR_OK;
}

HRESULT VFWAPI AVIStreamSetFormat(PAVISTREAM pavi, LONG /*lPos*/, LPVOID lpFormat, LONG cbFormat) {
    if (!live(pavi)) return AVIERR_BADHANDLE;
    if (!pavi->file->writing) return AVIERR_READONLY;
    return avi::write_set_format(*pavi, lpFormat, cbFormat);
}

HRESULT VFWAPI AVIStreamWrite(PAVISTREAM pavi, LONG lStart, LONG lSamples, LPVOID lpBuffer, LONG cbBuffer,
                              DWORD dwFlags, LONG* plSampWritten, LONG* plBytesWritten) {
    if (plSampWritten) *plSampWritten = 0;
    if (plBytesWritten) *plBytesWritten = 0;
    if (!live(pavi)) return AVIERR_BADHANDLE;
    if (!pavi->file->writing) return AVIERR_READONLY;
    AVISTREAMINFOA info{};
    avi::write_stream_info(*pavi, info);
    const bool audio = info.fccType == streamtypeAUDIO;
    // An audio chunk shorter than a sample (a damaged one, copied) counts none.
    if (lSamples < (audio ? 0 : 1)) return AVIERR_BADPARAM;
    // One write is one chunk, whatever the sample count: video samples are frames.
    HRESULT r = avi::write_sample(*pavi, lStart, audio ? lSamples : 1, lpBuffer, cbBuffer, dwFlags);
    if (r == AVIERR_OK) {
        if (plSampWritten) *plSampWritten = audio ? lSamples : 1;
        if (plBytesWritten) *plBytesWritten = cbBuffer;
    }
    return r;
}

HRESULT VFWAPI AVIStreamRead(PAVISTREAM pavi, LONG lStart, LONG lSamples, LPVOID lpBuffer, LONG cbBuffer,
                             LONG* plBytes, LONG* plSamples) {
    if (plBytes) *plBytes = 0;
    if (plSamples) *plSamples = 0;
    if (!live(pavi)) return AVIERR_BADHANDLE;
    if (!pavi->read) return AVIERR_UNSUPPORTED;  // only streams of files being read
    if (pavi->read->info.fccType == streamtypeAUDIO)
        return avi::read_audio(*pavi->file, *pavi->read, lStart, lSamples, lpBuffer, cbBuffer, plBytes, plSamples);
    const auto& frames = pavi->read->frames;
    if (lStart < 0 || static_cast<std::size_t>(lStart) >= frames.size()) return AVIERR_NODATA;
    if (lSamples < 1 && lSamples != AVISTREAMREAD_CONVENIENT) return AVIERR_OK;
    const avi::FrameEntry& e = frames[static_cast<std::size_t>(lStart)];
    if (lpBuffer) {
        if (cbBuffer < 0 || e.size > static_cast<std::uint32_t>(cbBuffer)) return AVIERR_BUFFERTOOSMALL;
        if (!avi::read_at(pavi->file->fd, e.offset, lpBuffer, e.size)) return AVIERR_FILEREAD;
    }
    if (plBytes) *plBytes = static_cast<LONG>(e.size);
    if (plSamples) *plSamples = 1;
    return AVIERR_OK;
}

HRESULT VFWAPI AVIStreamReadFormat(PAVISTREAM pavi, LONG /*lPos*/, LPVOID lpFormat, LONG* lpcbFormat) {
    if (!lpcbFormat) return AVIERR_BADPARAM;
    if (!live(pavi)) return AVIERR_BADHANDLE;
    if (!pavi->read) return AVIERR_UNSUPPORTED;  // only streams of files being read
    const auto& format = pavi->read->format;
    if (lpFormat && *lpcbFormat > 0)
        std::memcpy(lpFormat, format.data(), std::min<std::size_t>(static_cast<std::size_t>(*lpcbFormat), format.size()));
    *lpcbFormat = static_cast<LONG>(format.size());
    return AVIERR_OK;
}

#ifdef TWOPASS_TEST_HOOKS
LONG avifile_frame_count(PAVISTREAM stream) {
    if (!live(stream) || !stream->read) return -1;
    return static_cast<LONG>(stream->read->frames.size());
}

int avifile_frame_entry(PAVISTREAM stream, LONG frame, std::uint32_t* size, int* key) {
    if (!live(stream) || !stream->read || frame < 0 || static_cast<std::size_t>(frame) >= stream->read->frames.size())
        return 0;
    const avi::FrameEntry& e = stream->read->frames[static_cast<std::size_t>(frame)];
    if (size) *size = e.size;
    if (key) *key = static_cast<int>(e.key);
    return 1;
}
#endif
