#pragma once
// Character classes behind the text escaping (text.cpp), generated from the
// Unicode Character Database by tools/gen_textclass.py (text_table.cpp).
#include <span>

namespace ombrel::textclass {

// Inclusive, sorted, not overlapping.
struct CodeRange {
  char32_t first;
  char32_t last;
};

// The format characters and the line and paragraph separators (General
// Category Cf, Zl, Zp): always shown as escapes.
std::span<const CodeRange> escaped();
// Extended_Pictographic: a zero-width joiner between two of these is part
// of one emoji and kept.
std::span<const CodeRange> pictographic();

}  // namespace ombrel::textclass
