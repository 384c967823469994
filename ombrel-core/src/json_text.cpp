#include "json_text.hpp"

#include <array>
#include <charconv>

namespace ombrel {
namespace {

using nlohmann::json;

// Bytes a string may hold as they stand: printable ASCII but the quote and
// the backslash. Anything else needs the library's escaping or its handling
// of UTF-8.
constexpr std::array<bool, 256> PLAIN = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x80; ++c) plain[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
  return plain;
}();

std::string library_text(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

class Writer {
 public:
  Writer(std::string& out, int indent) : out_(out), indent_(indent) {}

  void value(const json& v, std::size_t depth) {
    switch (v.type()) {
      case json::value_t::object:
        container(v.get_ref<const json::object_t&>(), '{', '}', depth,
                  [&](const json::object_t::value_type& member) {
                    string(member.first);
                    out_ += indent_ >= 0 ? "\": " : "\":";
                    value(member.second, depth + 1);
                  });
        return;
      case json::value_t::array:
        container(v.get_ref<const json::array_t&>(), '[', ']', depth,
                  [&](const json& item) { value(item, depth + 1); });
        return;
      case json::value_t::string:
        string(v.get_ref<const std::string&>());
        out_ += '"';
        return;
      case json::value_t::boolean:
        out_ += v.get<bool>() ? "true" : "false";
        return;
      case json::value_t::null:
        out_ += "null";
        return;
      case json::value_t::number_integer:
        number(v.get<std::int64_t>());
        return;
      case json::value_t::number_unsigned:
        number(v.get<std::uint64_t>());
        return;
      default:
        // Fractions and the rest are rare here and follow the library's
        // own rules.
        out_ += library_text(v);
        return;
    }
  }

 private:
  // An object or an array: each of `items` written by `each` on a line of
  // its own, one level deeper than the brackets.
  template <class Items, class Each>
  void container(const Items& items, char open, char close, std::size_t depth, Each each) {
    out_ += open;
    if (!items.empty()) {
      bool first = true;
      for (const auto& item : items) {
        if (!first) out_ += ',';
        first = false;
        line(depth + 1);
        each(item);
      }
      line(depth);
    }
    out_ += close;
  }

  // A line break and the indentation of `depth`; nothing in compact form.
  void line(std::size_t depth) {
    if (indent_ < 0) return;
    out_ += '\n';
    out_.append(depth * static_cast<std::size_t>(indent_), ' ');
  }

  // The opening quote and the text, less the closing quote.
  void string(const std::string& s) {
    for (const char c : s) {
      if (!PLAIN[static_cast<unsigned char>(c)]) {
        std::string quoted = library_text(json(s));
        quoted.pop_back();
        out_ += quoted;
        return;
      }
    }
    out_ += '"';
    out_ += s;
  }

  template <class Int>
  void number(Int n) {
    char buf[24];
    const auto end = std::to_chars(buf, buf + sizeof buf, n).ptr;
    out_.append(buf, end);
  }

  std::string& out_;
  int indent_;
};

}  // namespace

std::string json_text(const nlohmann::json& value, int indent) {
  std::string out;
  out.reserve(4096);
  Writer(out, indent).value(value, 0);
  return out;
}

}  // namespace ombrel
