#pragma once
// Character tables behind unicase.hpp, generated from the Unicode Character
// Database by tools/gen_unicase.py (unicase_table.cpp).
#include <cstdint>
#include <span>

namespace ombrel::unicase {

// Every code point first + k * stride up to last lower-cases to itself plus
// delta. Runs are sorted by first and never overlap.
struct LowerRun {
  char32_t first;
  char32_t last;
  std::int32_t delta;
  std::uint8_t stride;
};

// A lower-case mapping to more than one code point (or to another one than
// the simple mapping gives).
struct SpecialLower {
  char32_t from;
  std::uint8_t length;
  char32_t to[3];
};

// Inclusive, sorted, not overlapping.
struct CodeRange {
  char32_t first;
  char32_t last;
};

std::span<const LowerRun> lower_runs();
std::span<const SpecialLower> special_lower();
std::span<const CodeRange> cased();
std::span<const CodeRange> case_ignorable();
std::span<const CodeRange> white_space();

}  // namespace ombrel::unicase
