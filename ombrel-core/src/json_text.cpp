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
      case json::value_t::object: {
        const auto& members = v.get_ref<const json::object_t&>();
        if (members.empty()) {
          out_ += "{}";
          return;
        }
        out_ += '{';
        bool first = true;
        for (const auto& [key, member] : members) {
          if (!first) out_ += ',';
          first = false;
          line(depth + 1);
          string(key);
          out_ += indent_ >= 0 ? "\": " : "\":";
          value(member, depth + 1);
        }
        line(depth);
        out_ += '}';
        return;
      }
      case json::value_t::array: {
        const auto& items = v.get_ref<const json::array_t&>();
        if (items.empty()) {
          out_ += "[]";
          return;
        }
        out_ += '[';
        bool first = true;
        for (const json& item : items) {
          if (!first) out_ += ',';
          first = false;
          line(depth + 1);
          value(item, depth + 1);
        }
        line(depth);
        out_ += ']';
        return;
      }
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
