// UTF-16 <-> UTF-8 of file names: both ways for every length of sequence and
// at the edges of each, and a name that is not text refused either way.
#include "common/utf16.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string to_utf8(const char16_t* text) {
    const size_t bytes = utf16_to_utf8(text, static_cast<char*>(nullptr));
    if (bytes == 0) return "refused";
    std::string out(bytes, '?');
    EXPECT_EQ(utf16_to_utf8(text, out.data()), bytes);
    EXPECT_EQ(out.back(), '\0');
    out.pop_back();
    return out;
}

std::u16string to_utf16(const char* text) {
    const size_t units = utf8_to_utf16(text, static_cast<char16_t*>(nullptr));
    if (units == 0) return u"refused";
    std::u16string out(units, u'?');
    EXPECT_EQ(utf8_to_utf16(text, out.data()), units);
    EXPECT_EQ(out.back(), u'\0');
    out.pop_back();
    return out;
}

}  // namespace

TEST(Utf16, BothWaysAtTheEdgesOfEachSequenceLength) {
    struct Case {
        const char16_t* utf16;
        const char* utf8;
    };
    for (const Case& c : {Case{u"", ""}, Case{u"out.avi", "out.avi"}, Case{u"\x7F", "\x7F"},
                          Case{u"\x80", "\xC2\x80"}, Case{u"\x7FF", "\xDF\xBF"}, Case{u"\x800", "\xE0\xA0\x80"},
                          Case{u"日本語", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"}, Case{u"\xFFFF", "\xEF\xBF\xBF"},
                          Case{u"\xD800\xDC00", "\xF0\x90\x80\x80"},             // U+10000
                          Case{u"\xD842\xDFB7野", "\xF0\xA0\xAE\xB7\xE9\x87\x8E"},  // U+20BB7, a name's character
                          Case{u"a\xD83D\xDE00z", "a\xF0\x9F\x98\x80z"},           // U+1F600
                          Case{u"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"}}) {          // U+10FFFF
        EXPECT_EQ(to_utf8(c.utf16), c.utf8) << c.utf8;
        EXPECT_TRUE(to_utf16(c.utf8) == c.utf16) << c.utf8;
    }
}

TEST(Utf16, UnpairedSurrogatesAreRefused) {
    for (const char16_t* text : {u"\xD800", u"a\xD842.avi", u"\xDFB7", u"x\xDC00y", u"\xDFB7\xD842",
                                 u"\xD842\xD842\xDFB7", u"ok\xD83D"})
        EXPECT_EQ(utf16_to_utf8(text, static_cast<char*>(nullptr)), 0u) << to_utf8(text);
}

TEST(Utf16, WhatIsNotUtf8IsRefused) {
    for (const char* text : {"\x80", "a\xBF", "\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xF0\x8F\xBF\xBF",
                             "\xED\xA0\x80", "\xED\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xF8\x88\x80\x80\x80",
                             "\xE6\x97", "\xC3", "\xE6\x97x", "\xFF"})
        EXPECT_EQ(utf8_to_utf16(text, static_cast<char16_t*>(nullptr)), 0u) << testing::PrintToString(text);
}
