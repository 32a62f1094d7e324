#include "scripted_driver.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "common/ascii.h"

namespace testsupport {

namespace {

struct Instance {
    ScriptedCodec* codec;  // null once its FourCC was removed
    DWORD fourcc;
    UINT mode;
};

std::map<DWORD, ScriptedCodec*>& codecs() {
    static std::map<DWORD, ScriptedCodec*> table;
    return table;
}

std::vector<Instance>& instances() {
    static std::vector<Instance> list;
    return list;
}

DWORD fold(DWORD fcc) { return fourcc_fold(fcc); }

void store_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t load_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

LRESULT compress(ScriptedCodec& codec, const ICCOMPRESS& ic) {
    CompressCall call{};
    call.index = static_cast<int>(codec.compresses.size());
    call.flags = ic.dwFlags;
    call.frame_num = ic.lFrameNum;
    call.frame_size = ic.dwFrameSize;
    call.quality = ic.dwQuality;
    call.has_prev = ic.lpPrev != nullptr;
    call.prev_format_is_input = ic.lpbiPrev == ic.lpbiInput;
    call.has_ckid = ic.lpckid != nullptr;
    const auto* source = static_cast<const uint8_t*>(ic.lpInput);
    call.source_tag = source ? source[0] : -1;
    call.prev_tag = ic.lpPrev ? static_cast<const uint8_t*>(ic.lpPrev)[0] : -1;
    call.input = *ic.lpbiInput;
    call.output = *ic.lpbiOutput;
    call.output_buffer = ic.lpOutput;
    if (ic.lpPrev && codec.read_prev_bytes) {
        const auto* prev = static_cast<const uint8_t*>(ic.lpPrev);
        for (size_t i = 0; i < codec.read_prev_bytes; ++i) codec.prev_checksum += prev[i];
    }

    call.result = codec.result_answer ? codec.result_answer(call) : static_cast<DWORD>(ICERR_OK);
    if (call.result == static_cast<DWORD>(ICERR_OK)) {
        call.answered_key = codec.key_answer ? codec.key_answer(call) : (ic.dwFlags & ICCOMPRESS_KEYFRAME) != 0;
        call.answered_size = codec.size_answer ? codec.size_answer(call) : (call.answered_key ? 1000 : 100);
        auto* out = static_cast<uint8_t*>(ic.lpOutput);
        std::memset(out, 0xAB, call.answered_size);
        if (call.answered_size >= 4) store_le32(out, static_cast<uint32_t>(call.index));
        ic.lpbiOutput->biSizeImage = call.answered_size;
        if (ic.lpdwFlags) *ic.lpdwFlags = call.answered_key ? AVIIF_KEYFRAME : 0;
        if (source) codec.last_source.assign(source, source + ic.lpbiInput->biSizeImage);
    }
    codec.compresses.push_back(call);
    return static_cast<LRESULT>(static_cast<LONG>(call.result));
}

LRESULT decompress(ScriptedCodec& codec, const ICDECOMPRESS& id) {
    DecompressCall call{};
    call.flags = id.dwFlags;
    call.input = *id.lpbiInput;
    call.output = *id.lpbiOutput;
    call.input_data = id.lpInput;
    call.output_buffer = id.lpOutput;
    call.data_tag = id.lpInput ? static_cast<int>(load_le32(static_cast<const uint8_t*>(id.lpInput))) : -1;
    auto* out = static_cast<uint8_t*>(id.lpOutput);
    const size_t bytes = codec.decode_bytes ? codec.decode_bytes : id.lpbiOutput->biSizeImage;
    std::memset(out, 0, bytes);
    std::memcpy(out, codec.last_source.data(), std::min(bytes, codec.last_source.size()));
    if (codec.decode_hook) codec.decode_hook(call, out);
    codec.decompresses.push_back(call);
    return ICERR_OK;
}

LRESULT CALLBACK scripted_driver_proc(DWORD_PTR id, HDRVR, UINT msg, LPARAM p1, LPARAM p2) {
    auto& list = instances();
    switch (msg) {
    case DRV_LOAD:
    case DRV_ENABLE:
    case DRV_DISABLE:
    case DRV_FREE:
        return 1;
    case DRV_OPEN: {
        const auto* open = reinterpret_cast<const ICOPEN*>(p2);
        if (!open) return 1;  // opened without a codec in mind: nothing to refuse
        auto found = codecs().find(fold(open->fccHandler));
        if (found == codecs().end()) return 0;
        ScriptedCodec& codec = *found->second;
        const UINT mode = open->dwFlags;
        codec.messages.push_back({static_cast<int>(list.size() + 1), mode, msg, p1, p2});
        if (codec.on_message) codec.on_message(codec.messages.back());
        if (mode == ICMODE_COMPRESS && codec.refuse_compress) return 0;
        if (mode == ICMODE_DECOMPRESS && codec.refuse_decompress) return 0;
        list.push_back({&codec, fold(open->fccHandler), mode});
        return static_cast<LRESULT>(list.size());
    }
    default:
        break;
    }
    if (id == 0 || id > list.size() || !list[id - 1].codec) return ICERR_BADHANDLE;
    const Instance& instance = list[id - 1];
    ScriptedCodec& codec = *instance.codec;
    codec.messages.push_back({static_cast<int>(id), instance.mode, msg, p1, p2});
    if (codec.on_message) codec.on_message(codec.messages.back());
    switch (msg) {
    case DRV_CLOSE:
        return 1;
    case ICM_GETSTATE:
        if (p1 == 0) return static_cast<LRESULT>(codec.state.size());
        std::memcpy(reinterpret_cast<void*>(p1), codec.state.data(),
                    std::min<size_t>(static_cast<size_t>(p2), codec.state.size()));
        return static_cast<LRESULT>(codec.state.size());
    case ICM_SETSTATE: {
        const auto* block = reinterpret_cast<const uint8_t*>(p1);
        codec.set_state.assign(block, block + p2);
        return static_cast<LRESULT>(p2);
    }
    case ICM_COMPRESS_FRAMES_INFO:
        codec.frames_info = *reinterpret_cast<const ICCOMPRESSFRAMES*>(p1);
        codec.frames_info_size = static_cast<DWORD>(p2);
        codec.has_frames_info = true;
        return ICERR_OK;
    case ICM_COMPRESS_BEGIN:
    case ICM_COMPRESS_END:
    case ICM_DECOMPRESS_END:
        return ICERR_OK;
    case ICM_DECOMPRESS_BEGIN:
        return codec.decompress_begin_result;
    case ICM_COMPRESS:
        return compress(codec, *reinterpret_cast<const ICCOMPRESS*>(p1));
    case ICM_DECOMPRESS:
        return decompress(codec, *reinterpret_cast<const ICDECOMPRESS*>(p1));
    default:
        return ICERR_UNSUPPORTED;
    }
}

}  // namespace

std::vector<DriverMessage> ScriptedCodec::of(UINT msg) const {
    std::vector<DriverMessage> out;
    for (const auto& m : messages)
        if (m.msg == msg) out.push_back(m);
    return out;
}

std::vector<UINT> ScriptedCodec::sequence(UINT mode) const {
    std::vector<UINT> out;
    for (const auto& m : messages)
        if (mode == 0 || m.mode == mode) out.push_back(m.msg);
    return out;
}

void ScriptedCodec::reserve(size_t frames) {
    messages.reserve(messages.size() + 8 * frames);
    compresses.reserve(compresses.size() + 2 * frames);
    decompresses.reserve(decompresses.size() + 2 * frames);
}

void scripted_codec_install(DWORD fourcc, ScriptedCodec* codec) {
    codecs()[fold(fourcc)] = codec;
    ICInstall(ICTYPE_VIDEO, fourcc, reinterpret_cast<LPARAM>(&scripted_driver_proc), nullptr, ICINSTALL_FUNCTION);
}

void scripted_codec_remove(DWORD fourcc) {
    ICRemove(ICTYPE_VIDEO, fourcc, 0);
    codecs().erase(fold(fourcc));
    for (auto& instance : instances())
        if (instance.fourcc == fold(fourcc)) instance.codec = nullptr;
}

}  // namespace testsupport
