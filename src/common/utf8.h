#pragma once
// UTF-8, the encoding of scans from the keyboard hook on: ASCII stays one
// byte, every other character is a sequence of two to four. Written here
// rather than taken from a library because the agent needs only these few
// steps, each with its own rule for bad input (a lone surrogate becomes
// U+FFFD, a cut never splits a character, a bad byte is shown, not thrown).
#include <cstddef>
#include <string>

constexpr char32_t kReplacementCharacter = 0xFFFD;

// Appends c in UTF-8; a surrogate or a value past U+10FFFF as U+FFFD.
void appendUtf8(std::string& out, char32_t c);

// Appends UTF-16 code units in UTF-8, pairing surrogates; an unpaired
// surrogate becomes U+FFFD.
void appendUtf16(std::string& out, const char16_t* units, std::size_t count);

// The longest length at most limit that ends on a character boundary of
// text (limit itself when it is past the end). Text that is not UTF-8 is cut
// at the limit.
std::size_t utf8CutLength(const std::string& text, std::size_t limit);

// Where the last character of text starts: its lead byte, or the last byte
// when text does not end in a whole sequence. 0 for empty text.
std::size_t lastCharacterStart(const std::string& text);

// One character of text from at, which moves past it. A byte sequence that
// is not UTF-8 gives U+FFFD for its longest start that could have become a
// character (at least one byte) and sets valid to false: that is what moves
// at then.
char32_t decodeUtf8(const std::string& text, std::size_t& at, bool& valid);
