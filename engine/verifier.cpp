#include "engine/verifier.h"

#include <cstdlib>

namespace {

// The decompression calls take writable formats; neither is written to.
BITMAPINFOHEADER* writable(const BITMAPINFOHEADER* format) { return const_cast<BITMAPINFOHEADER*>(format); }

int refuse(Verifier& v, VerifierFailure why) {
    verifier_close(v);
    v.failure = why;
    return 0;
}

}  // namespace

int verifier_open(Verifier& v, DWORD codec, const BITMAPINFOHEADER& input, const BITMAPINFOHEADER& output,
                  uint32_t buffer_size) {
    v = Verifier{};
    v.input = &input;
    v.output = &output;
    v.buffer_size = buffer_size;
    v.decoder = ICOpen(ICTYPE_VIDEO, codec, ICMODE_DECOMPRESS);
    if (!v.decoder) return refuse(v, VerifierFailure::decoder_unavailable);
    if (ICSendMessage(v.decoder, ICM_DECOMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(v.input),
                      reinterpret_cast<DWORD_PTR>(v.output)) != ICERR_OK)
        return refuse(v, VerifierFailure::decoder_unavailable);
    v.picture = static_cast<uint8_t*>(std::calloc(buffer_size, 1));
    if (!v.picture) return refuse(v, VerifierFailure::memory);
    return 1;
}

void verifier_decode(Verifier& v, const void* compressed, const BITMAPINFOHEADER& frame_format) {
    ICDecompress(v.decoder, ICDECOMPRESS_NOTKEYFRAME, writable(v.input), const_cast<void*>(compressed),
                 writable(&frame_format), v.picture);
}

void verifier_restart(Verifier& v, const void* compressed, const BITMAPINFOHEADER& frame_format) {
    ICSendMessage(v.decoder, ICM_DECOMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(v.input),
                  reinterpret_cast<DWORD_PTR>(v.output));
    ICDecompress(v.decoder, 0, writable(v.input), const_cast<void*>(compressed), writable(&frame_format),
                 v.picture);
}

void verifier_close(Verifier& v) {
    if (v.picture) {
        std::free(v.picture);
        v.picture = nullptr;
    }
    if (v.decoder) {
        ICSendMessage(v.decoder, ICM_DECOMPRESS_END, 0, 0);
        ICClose(v.decoder);
        v.decoder = nullptr;
    }
}
