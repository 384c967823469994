#pragma once
// UTF-8 is the text of the whole program; UTF-16 exists only at the Windows
// API boundary. The conversions are our own so that both targets behave the
// same whatever the C locale says.
#include <optional>
#include <string>
#include <string_view>

namespace ombrel {

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, <= U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// Invalid sequences become U+FFFD.
std::u16string utf8_to_utf16(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
std::string utf16_to_utf8(std::u16string_view utf16);

// Decodes one code point at `pos`, advancing it; nullopt on a malformed sequence
// (pos then advances by one byte).
std::optional<char32_t> next_code_point(std::string_view utf8, std::size_t& pos);
void append_utf8(std::string& out, char32_t cp);

// White space as Unicode counts it (the ASCII controls \t..\r, the spaces and
// the line and paragraph separators).
bool is_unicode_space(char32_t cp);
// `s` without the white space at either end; a malformed sequence is not
// white space.
std::string_view trim_unicode_space(std::string_view s);

// Text from outside (a client's remark or path, a core's output) written
// into a log or onto a terminal: every control character, C0, DEL and C1,
// is shown as a visible escape ("\n", "\r", "\t", "\x1b", "\u009b"), and so
// is every format character and line or paragraph separator (Unicode
// General Category Cf, Zl, Zp: the bidirectional controls and marks, the
// zero-width characters, the byte order mark, "\u2028", "\u202e", "\u200b";
// beyond the first plane in eight digits, "\U000e0001"), so that one line
// stays one line, reads in the order it was written, shows all it holds
// and no escape sequence reaches a terminal. Inside an emoji a joiner
// between two pictographs and the tags after a black flag are kept. A
// backslash is written "\\": an escape in the output is always one made
// here. All else, malformed UTF-8 included, is kept byte for byte.
// `has_control_characters` tells whether the escape changes `text`.
bool has_control_characters(std::string_view text);
std::string escape_controls(std::string_view text);
// Appends `text` to `out`, escaped as above.
void append_escaped(std::string& out, std::string_view text);

}  // namespace ombrel
