#pragma once
// Unicode lower-casing and white-space trimming of UTF-8 text, from tables of
// our own so that the result is the same on every platform and in every
// locale. Bytes that are not valid UTF-8 are passed through unchanged.
#include <string>
#include <string_view>

namespace ombrel {

// The full default lower-case mapping: one-to-many mappings (U+0130) and the
// word-final form of capital sigma included, no language-specific rules.
std::string lower_case(std::string_view text);

// Without leading and trailing characters of the Unicode White_Space property.
std::string_view trim_white_space(std::string_view text);

}  // namespace ombrel
