// UTF-16 <-> UTF-8 for file names: the wide entries hand over UTF-16, the
// engine keeps UTF-8, and the wide file calls take UTF-16 again. Unit is any
// 16-bit character type (wchar_t on Windows, char16_t elsewhere). A name that
// is not valid text is refused, never guessed at: it could only lead to a
// file of another name.
#pragma once

#include <cstddef>
#include <cstdint>

// Bytes of text's UTF-8, terminator included, written to out when out is not
// null (it then holds at least that many). 0 when text holds an unpaired
// surrogate.
template <typename Unit>
size_t utf16_to_utf8(const Unit* text, char* out) {
    static_assert(sizeof(Unit) == 2);
    size_t n = 0;
    auto put = [&](uint32_t byte) {
        if (out) out[n] = static_cast<char>(byte);
        ++n;
    };
    for (size_t i = 0; text[i]; ++i) {
        uint32_t c = static_cast<uint16_t>(text[i]);
        if (c >= 0xDC00 && c <= 0xDFFF) return 0;  // a low surrogate with no high one before it
        if (c >= 0xD800 && c <= 0xDBFF) {
            const uint32_t low = static_cast<uint16_t>(text[i + 1]);  // the terminator ends the pair too
            if (low < 0xDC00 || low > 0xDFFF) return 0;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            put(c);
        } else if (c < 0x800) {
            put(0xC0 | c >> 6);
            put(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            put(0xE0 | c >> 12);
            put(0x80 | (c >> 6 & 0x3F));
            put(0x80 | (c & 0x3F));
        } else {
            put(0xF0 | c >> 18);
            put(0x80 | (c >> 12 & 0x3F));
            put(0x80 | (c >> 6 & 0x3F));
            put(0x80 | (c & 0x3F));
        }
    }
    put(0);
    return n;
}

// Units of text's UTF-16, terminator included, written to out when out is not
// null. 0 when text is not UTF-8: a sequence cut short or too long for its
// character, a surrogate, or a character past U+10FFFF.
template <typename Unit>
size_t utf8_to_utf16(const char* text, Unit* out) {
    static_assert(sizeof(Unit) == 2);
    size_t n = 0;
    auto put = [&](uint32_t unit) {
        if (out) out[n] = static_cast<Unit>(unit);
        ++n;
    };
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    while (*s) {
        const uint32_t lead = *s++;
        uint32_t c = lead;
        int more = 0;
        uint32_t least = 0;
        if (lead >= 0xF0 && lead <= 0xF4) {
            c = lead & 0x07, more = 3, least = 0x10000;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            c = lead & 0x0F, more = 2, least = 0x800;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            c = lead & 0x1F, more = 1, least = 0x80;
        } else if (lead >= 0x80) {
            return 0;
        }
        for (; more > 0; --more, ++s) {
            if ((*s & 0xC0) != 0x80) return 0;  // also the terminator
            c = c << 6 | (*s & 0x3F);
        }
        if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
        if (c >= 0x10000) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(c);
        }
    }
    put(0);
    return n;
}
