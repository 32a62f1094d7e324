#include "codec/codecs.h"

#include <array>

#include "codec/codec.h"
#include "common/ascii.h"

namespace {

constexpr auto table_fourccs = [] {
    std::array<DWORD, std::size(codec_table)> fccs{};
    for (std::size_t i = 0; i < fccs.size(); ++i) fccs[i] = codec_table[i].fcc;
    return fccs;
}();

}  // namespace

std::span<const DWORD> codec_fourccs() { return table_fourccs; }

const CodecRow* codec_find(DWORD fcc) {
    for (const auto& c : codec_table)
        if (c.fcc == fourcc_fold(fcc)) return &c;
    return nullptr;
}
