// The codecs the front ends offer, written once: the command line's -v
// letters, the usage text, the plug-in's codec index and dialog list, and the
// plug-in host's options all read this table. Header-only, so the plug-in host
// can use it without linking the engine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/ascii.h"

#include "engine/platform.h"

struct CodecEntry {
    FOURCC fourcc;
    char letters[3];     // -v letters; the usage shows the first
    char list_text[20];  // NUL-padded slot, as the plug-in's combo box lists it
};

// In the plug-in's index order: the stored codec index counts rows.
inline constexpr std::array<CodecEntry, 5> kCodecs = {{
    {mmioFOURCC('M', 'P', 'G', '4'), "1", "MPG4 (MPEG-4 V1)"},
    {mmioFOURCC('M', 'P', '4', '2'), "2", "MP42 (MPEG-4 V2)"},
    {mmioFOURCC('M', 'P', '4', '3'), "3", "MP43 (MPEG-4 V3)"},
    {mmioFOURCC('D', 'I', 'V', '3'), "Ll", "DIV3 (Low Motion)"},
    {mmioFOURCC('D', 'I', 'V', '4'), "Ff", "DIV4 (Fast Motion)"},
}};

// The default codec, also taken for every letter or index outside the table.
inline constexpr size_t kDefaultCodecIndex = 1;

// The row for a codec index; compared unsigned, so negative indexes fall back too.
constexpr const CodecEntry& codec_entry(int32_t index) {
    const auto i = static_cast<uint32_t>(index);
    return i < kCodecs.size() ? kCodecs[i] : kCodecs[kDefaultCodecIndex];
}

// The index of the row whose letters hold letter, else the default's.
constexpr int32_t codec_index_of_letter(char letter) {
    for (size_t i = 0; i < kCodecs.size(); ++i) {
        for (const char c : kCodecs[i].letters) {
            if (c && c == letter) return static_cast<int32_t>(i);
        }
    }
    return static_cast<int32_t>(kDefaultCodecIndex);
}
