// Scans are UTF-8 on their way out: JSON decodes them, with U+FFFD where a
// byte sequence is not UTF-8, and the text output prints their characters.
#include <gtest/gtest.h>

#include <string>

#include "peer/escape_text.h"
#include "peer/json_line.h"

namespace {

struct Case {
    const char* name;
    std::string text;
    const char* json;
    const char* printed;
};

TEST(JsonLine, ScansAreDecodedAsUtf8) {
    const Case cases[] = {
        {"ASCII and escapes", "A\"b\\\r\n\t\x01\x7f", R"("A\"b\\\r\n\t\u0001\u007f")",
         R"(A\"b\\\r\n\t\x01\x7F)"},
        {"two bytes", "Ma\xC3\x9F-\xC3\xA4", R"("Ma\u00df-\u00e4")", "Ma\xC3\x9F-\xC3\xA4"},
        {"three bytes",
         "\xE2\x82\xAC"
         "1",
         R"("\u20ac1")",
         "\xE2\x82\xAC"
         "1"},
        {"four bytes: a surrogate pair", "\xF0\x9F\x98\x80", R"("\ud83d\ude00")",
         "\xF0\x9F\x98\x80"},
        {"a C1 control", "\xC2\x85", R"("\u0085")", R"(\xC2\x85)"},
        {"a lone Latin-1 byte", "A\xE9Z", R"("A\ufffdZ")", R"(A\xE9Z)"},
        {"a cut sequence, then ASCII", "\xE2\x82Z", R"("\ufffdZ")", R"(\xE2\x82Z)"},
        {"a cut sequence at the end", "A\xF0\x9F\x98", R"("A\ufffd")", R"(A\xF0\x9F\x98)"},
        {"a stray continuation byte", "\x80\xBF", R"("\ufffd\ufffd")", R"(\x80\xBF)"},
        {"an overlong form", "\xC0\xAF", R"("\ufffd\ufffd")", R"(\xC0\xAF)"},
        {"an encoded surrogate", "\xED\xA0\x80", R"("\ufffd\ufffd\ufffd")", R"(\xED\xA0\x80)"},
        {"past U+10FFFF", "\xF4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")",
         R"(\xF4\x90\x80\x80)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.json, peer::jsonString(c.text));
        EXPECT_EQ(c.printed, peer::escapeUtf8Text(c.text));
    }
}

}  // namespace
