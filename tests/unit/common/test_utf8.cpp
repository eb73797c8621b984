#include "common/utf8.h"

#include <gtest/gtest.h>

namespace {

TEST(Utf8, EncodesEveryLengthAndReplacesWhatIsNoCharacter) {
    const struct {
        char32_t c;
        const char* bytes;
    } cases[] = {
        {U'A', "A"},
        {0x7F, "\x7F"},
        {0xDF, "\xC3\x9F"},              // ß
        {0x7FF, "\xDF\xBF"},             // the last two-byte character
        {0x20AC, "\xE2\x82\xAC"},        // €
        {0x1E9E, "\xE1\xBA\x9E"},        // ẞ
        {0x1F600, "\xF0\x9F\x98\x80"},   // an emoji
        {0x10FFFF, "\xF4\x8F\xBF\xBF"},  // the last code point
        {0xD83D, "\xEF\xBF\xBD"},        // a surrogate is no character
        {0x110000, "\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        std::string out;
        appendUtf8(out, c.c);
        EXPECT_EQ(c.bytes, out) << std::hex << c.c;
    }
}

TEST(Utf8, PairsSurrogatesAndReplacesLoneOnes) {
    const struct {
        std::u16string units;
        const char* bytes;
    } cases[] = {
        {u"Ma\u00DF", "Ma\xC3\x9F"},
        {u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
        {u"\xD83D"
         u"A",
         "\xEF\xBF\xBD"
         "A"},                                          // high without low
        {u"\xDE00\xD83D", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // low first, high last
    };
    for (const auto& c : cases) {
        std::string out;
        appendUtf16(out, c.units.data(), c.units.size());
        EXPECT_EQ(c.bytes, out);
    }
}

TEST(Utf8, CutsAndStepsBackOnCharacterBoundaries) {
    const std::string text = "a\xC3\x9F\xE2\x82\xAC\xF0\x9F\x98\x80";  // aß€ and an emoji
    const std::size_t cuts[][2] = {{0, 0}, {1, 1}, {2, 1},   {3, 3},   {4, 3},  {5, 3},
                                   {6, 6}, {9, 6}, {10, 10}, {11, 11}, {99, 99}};
    for (const auto& cut : cuts) EXPECT_EQ(cut[1], utf8CutLength(text, cut[0])) << cut[0];
    // Not UTF-8: a run of continuation bytes is cut at the limit.
    EXPECT_EQ(5u, utf8CutLength(std::string(8, '\x80'), 5));

    EXPECT_EQ(0u, lastCharacterStart(""));
    EXPECT_EQ(6u, lastCharacterStart(text));
    EXPECT_EQ(3u, lastCharacterStart(text.substr(0, 6)));
    EXPECT_EQ(1u, lastCharacterStart(text.substr(0, 3)));
    EXPECT_EQ(0u, lastCharacterStart("a"));
    // A torn or stray sequence gives up its last byte only.
    EXPECT_EQ(4u, lastCharacterStart("a\xC3\x9F\xE2\x82"));
    EXPECT_EQ(1u, lastCharacterStart("a\x80"));
}

TEST(Utf8, DecodesAndReplacesEachBadStretchOnce) {
    const struct {
        std::string bytes;
        std::u32string decoded;
        int bad;
    } cases[] = {
        {"Ma\xC3\x9F", U"Ma\u00DF", 0},
        {"\xF0\x9F\x98\x80!", U"\U0001F600!", 0},
        {"\xE4", U"\uFFFD", 1},  // a Latin-1 byte
        {"\xC3", U"\uFFFD", 1},  // torn at the end
        {"\xE2\x82"
         "A",
         U"\uFFFD"
         "A",
         1},                                                   // torn before a character
        {"\x80\xBF", U"\uFFFD\uFFFD", 2},                      // stray continuation bytes
        {"\xC0\xAF", U"\uFFFD\uFFFD", 2},                      // overlong
        {"\xED\xA0\x80", U"\uFFFD\uFFFD\uFFFD", 3},            // an encoded surrogate
        {"\xF4\x90\x80\x80", U"\uFFFD\uFFFD\uFFFD\uFFFD", 4},  // past U+10FFFF
        {"\xFF"
         "a",
         U"\uFFFD"
         "a",
         1},
    };
    for (const auto& c : cases) {
        std::u32string decoded;
        int bad = 0;
        for (std::size_t at = 0; at < c.bytes.size();) {
            bool valid = true;
            decoded += decodeUtf8(c.bytes, at, valid);
            bad += valid ? 0 : 1;
        }
        EXPECT_EQ(c.decoded, decoded) << c.bytes;
        EXPECT_EQ(c.bad, bad) << c.bytes;
    }
}

}  // namespace
