#include "engine/verifier.h"

#include <cstdlib>
#include <cstring>

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
    v.frame_input = static_cast<BITMAPINFOHEADER*>(std::malloc(input.biSize));
    if (!v.picture || !v.frame_input) return refuse(v, VerifierFailure::memory);
    std::memcpy(v.frame_input, &input, input.biSize);
    return 1;
}

// The frame's format says how many bytes it has, as a player's does: a
// decoder may read what ends a frame from its last bytes (MP43 key frames end
// with a header that sets how later delta frames round their motion).
void verifier_decode(Verifier& v, const void* compressed, DWORD size, const BITMAPINFOHEADER& frame_format) {
    v.frame_input->biSizeImage = size;
    ICDecompress(v.decoder, ICDECOMPRESS_NOTKEYFRAME, v.frame_input, const_cast<void*>(compressed),
                 writable(&frame_format), v.picture);
}

void verifier_restart(Verifier& v, const void* compressed, DWORD size, const BITMAPINFOHEADER& frame_format) {
    ICSendMessage(v.decoder, ICM_DECOMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(v.input),
                  reinterpret_cast<DWORD_PTR>(v.output));
    v.frame_input->biSizeImage = size;
    ICDecompress(v.decoder, 0, v.frame_input, const_cast<void*>(compressed), writable(&frame_format), v.picture);
}

void verifier_close(Verifier& v) {
    if (v.picture) {
        std::free(v.picture);
        v.picture = nullptr;
    }
    if (v.frame_input) {
        std::free(v.frame_input);
        v.frame_input = nullptr;
    }
    if (v.decoder) {
        ICSendMessage(v.decoder, ICM_DECOMPRESS_END, 0, 0);
        ICClose(v.decoder);
        v.decoder = nullptr;
    }
}
