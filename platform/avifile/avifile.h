// AVIFile: reading and writing AVI files, stream by stream.
#pragma once

#include "platform/base/win32_types.h"
#include "platform/icm/icm.h"

struct IAVIFile;
struct IAVIStream;
struct IGetFrame;
using PAVIFILE = IAVIFile*;
using PAVISTREAM = IAVIStream*;
using PGETFRAME = IGetFrame*;
struct CLSID;
using LPCLSID = CLSID*;

constexpr DWORD streamtypeVIDEO = mmioFOURCC('v', 'i', 'd', 's');
constexpr DWORD streamtypeAUDIO = mmioFOURCC('a', 'u', 'd', 's');

// The wave formats audio streams carry (strf), with Windows' byte layouts.
#pragma pack(push, 1)
struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;  // extra bytes that follow
};
struct MPEGLAYER3WAVEFORMAT {
    WAVEFORMATEX wfx;
    WORD wID;
    DWORD fdwFlags;
    WORD nBlockSize;
    WORD nFramesPerBlock;
    WORD nCodecDelay;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(sizeof(MPEGLAYER3WAVEFORMAT) == 30);
constexpr WORD WAVE_FORMAT_PCM = 0x0001;
constexpr WORD WAVE_FORMAT_MPEGLAYER3 = 0x0055;
constexpr WORD MPEGLAYER3_WFX_EXTRA_BYTES = 12;
constexpr WORD MPEGLAYER3_ID_MPEG = 1;
constexpr DWORD MPEGLAYER3_FLAG_PADDING_ISO = 0;
constexpr DWORD MPEGLAYER3_FLAG_PADDING_ON = 1;
constexpr DWORD MPEGLAYER3_FLAG_PADDING_OFF = 2;

constexpr UINT OF_READ = 0x0000;
constexpr UINT OF_WRITE = 0x0001;
constexpr UINT OF_READWRITE = 0x0002;
constexpr UINT OF_CREATE = 0x1000;
// With OF_CREATE: no other writer may hold the file while it is written
// (without it, only an exclusive one is refused).
constexpr UINT OF_SHARE_EXCLUSIVE = 0x0010;

constexpr HRESULT AVIERR_OK = 0;
constexpr HRESULT make_avierr(DWORD n) { return static_cast<HRESULT>(0x80044000u + n); }
constexpr HRESULT AVIERR_UNSUPPORTED = make_avierr(101);
constexpr HRESULT AVIERR_BADFORMAT = make_avierr(102);
constexpr HRESULT AVIERR_MEMORY = make_avierr(103);
constexpr HRESULT AVIERR_INTERNAL = make_avierr(104);
constexpr HRESULT AVIERR_BADFLAGS = make_avierr(105);
constexpr HRESULT AVIERR_BADPARAM = make_avierr(106);
constexpr HRESULT AVIERR_BADSIZE = make_avierr(107);
constexpr HRESULT AVIERR_BADHANDLE = make_avierr(108);
constexpr HRESULT AVIERR_FILEREAD = make_avierr(109);
constexpr HRESULT AVIERR_FILEWRITE = make_avierr(110);
constexpr HRESULT AVIERR_FILEOPEN = make_avierr(111);
constexpr HRESULT AVIERR_COMPRESSOR = make_avierr(112);
constexpr HRESULT AVIERR_NOCOMPRESSOR = make_avierr(113);
constexpr HRESULT AVIERR_READONLY = make_avierr(114);
constexpr HRESULT AVIERR_NODATA = make_avierr(115);
constexpr HRESULT AVIERR_BUFFERTOOSMALL = make_avierr(116);
constexpr HRESULT AVIERR_CANTCOMPRESS = make_avierr(117);
constexpr HRESULT AVIERR_USERABORT = make_avierr(198);
constexpr HRESULT AVIERR_ERROR = make_avierr(199);

struct AVISTREAMINFOA {
    DWORD fccType;
    DWORD fccHandler;
    DWORD dwFlags;
    DWORD dwCaps;
    WORD wPriority;
    WORD wLanguage;
    DWORD dwScale;
    DWORD dwRate;
    DWORD dwStart;
    DWORD dwLength;
    DWORD dwInitialFrames;
    DWORD dwSuggestedBufferSize;
    DWORD dwQuality;
    DWORD dwSampleSize;
    RECT rcFrame;
    DWORD dwEditCount;
    DWORD dwFormatChangeCount;
    char szName[64];
};
using LPAVISTREAMINFOA = AVISTREAMINFOA*;
using AVISTREAMINFO = AVISTREAMINFOA;
static_assert(sizeof(AVISTREAMINFOA) == 140);

void VFWAPI AVIFileInit(void);
void VFWAPI AVIFileExit(void);
HRESULT VFWAPI AVIFileOpenA(PAVIFILE* ppfile, LPCSTR szFile, UINT uMode, LPCLSID lpHandler);
// The same for a UTF-16 name, opened by its UTF-8; AVIERR_BADPARAM for one
// with an unpaired surrogate, which names no file.
HRESULT VFWAPI AVIFileOpenW(PAVIFILE* ppfile, LPCWSTR szFile, UINT uMode, LPCLSID lpHandler);
HRESULT VFWAPI AVIFileGetStream(PAVIFILE pfile, PAVISTREAM* ppavi, DWORD fccType, LONG lParam);
HRESULT VFWAPI AVIFileCreateStreamA(PAVIFILE pfile, PAVISTREAM* ppavi, AVISTREAMINFOA* psi);
// Releasing the last reference completes a file being written (headers and
// index). Answers the references left: 0 once the object is gone. A file whose
// completion failed (write error) still goes, but answers a non-zero count so
// that the caller learns of it.
ULONG VFWAPI AVIFileRelease(PAVIFILE pfile);
ULONG VFWAPI AVIStreamRelease(PAVISTREAM pavi);
HRESULT VFWAPI AVIStreamInfoA(PAVISTREAM pavi, AVISTREAMINFOA* psi, LONG lSize);
HRESULT VFWAPI AVIStreamSetFormat(PAVISTREAM pavi, LONG lPos, LPVOID lpFormat, LONG cbFormat);
// One write is one chunk, behind every chunk written before on any stream of
// the file. Video: lStart is the frame's number (a gap is filled with empty
// frames), lSamples 1. Audio: the chunk is appended (lStart -1 asks for that,
// as AVIFile's does; the position is not looked at) and counts lSamples of
// the stream's samples (for a sample size: bytes / dwSampleSize; 0 for a chunk
// shorter than a sample). Streams are created before the first write.
HRESULT VFWAPI AVIStreamWrite(PAVISTREAM pavi, LONG lStart, LONG lSamples, LPVOID lpBuffer, LONG cbBuffer,
                              DWORD dwFlags, LONG* plSampWritten, LONG* plBytesWritten);
// Reads lSamples samples from lStart (one for video: a frame's stored data;
// for audio of a fixed sample size, as many as fit across chunks, and with
// AVISTREAMREAD_CONVENIENT the rest of the chunk that holds lStart; for audio
// without one, a chunk a sample); a null lpBuffer asks only for the size.
// AVIERR_NODATA past the stream's end, AVIERR_BUFFERTOOSMALL when not even
// one sample fits. Audio positions count from the stream's dwStart, as
// AVIFile's do: lStart = dwStart is the first sample of the first chunk.
constexpr LONG AVISTREAMREAD_CONVENIENT = -1;
HRESULT VFWAPI AVIStreamRead(PAVISTREAM pavi, LONG lStart, LONG lSamples, LPVOID lpBuffer, LONG cbBuffer,
                             LONG* plBytes, LONG* plSamples);
// The stream's format as stored (strf): copies up to *lpcbFormat bytes and
// answers its whole size there; a null lpFormat asks only for the size.
HRESULT VFWAPI AVIStreamReadFormat(PAVISTREAM pavi, LONG lPos, LPVOID lpFormat, LONG* lpcbFormat);
PGETFRAME VFWAPI AVIStreamGetFrameOpen(PAVISTREAM pavi, LPBITMAPINFOHEADER lpbiWanted);
LPVOID VFWAPI AVIStreamGetFrame(PGETFRAME pg, LONG lPos);
HRESULT VFWAPI AVIStreamGetFrameClose(PGETFRAME pg);
