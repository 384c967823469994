#pragma once
// The first step of decoding a request: the line read into a small tree that
// keeps member order, duplicate names and the byte offsets where each value
// ends, so that the mapping onto the request types can report every fault
// where a strict decoder reading the line front to back would have found it.
//
// Positions: a fault's `consumed` is the number of bytes read when it was
// found; the reader is byte oriented, so a Cyrillic letter before the fault
// counts twice.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ombrel::control::detail {

// No offset: a member name whose value never came.
inline constexpr std::size_t NONE = std::numeric_limits<std::size_t>::max();
// As deep as a request may nest; the next opening bracket is refused, which
// also keeps the recursive tree small enough for any thread's stack.
inline constexpr std::size_t MAX_DEPTH = 128;

enum class Kind : unsigned char { Null, Bool, Unsigned, Signed, Float, String, Array, Object };

struct Value {
  Kind kind = Kind::Null;
  // False for a map or sequence the parser never closed (a syntax fault came first).
  bool complete = true;
  bool boolean = false;
  std::uint64_t unsigned_number = 0;
  std::int64_t signed_number = 0;
  double float_number = 0;
  std::string text;
  std::size_t begin = 0;  // offset of the opening bracket (maps and sequences)
  std::size_t end = 0;    // offset just past the value's last byte
  std::string key;        // member name, for a value inside a map
  std::size_t key_end = 0;
  std::vector<Value> items;  // elements or members, in the order written
};

struct Fault {
  std::string message;
  std::size_t consumed;  // bytes read when it was found
};

struct Tree {
  std::optional<Value> root;
  std::optional<Fault> fault;
  // A member name of the unfinished top-level object whose value never came.
  std::string root_pending_key;
  std::size_t root_pending_key_end = NONE;
};

// Reads one request line; a syntax fault ends the tree where it was found.
Tree read_tree(std::string_view in);

}  // namespace ombrel::control::detail
