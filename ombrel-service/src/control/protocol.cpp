#include "control/protocol.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>

#include "base/text.hpp"
#include "control/json_tree.hpp"

// Requests are decoded in two steps. nlohmann's SAX parser reads the line and
// we keep what it reports as a small tree that remembers member order,
// duplicate names and the byte offsets where each value ends. The tree is then
// mapped onto the request types, and every fault is reported where a strict
// decoder reading the line front to back would have found it, in the phrasing
// the desktop application has always been shown.
//
// Positions: "line L column C" with L counted from 1 and C the number of bytes
// read on that line when the fault was found (0 when nothing was read). The
// reader is byte oriented, so a Cyrillic letter before the fault advances the
// column by two.
//
// The request is an object whose "cmd" may come last, so its other members are
// only looked at once the whole object has been read: a syntax fault anywhere
// in the object wins over a wrongly typed member, while faults in "cmd" itself
// (unknown kind, given twice) are found as the members go by.

namespace ombrel::control {
namespace {

using nlohmann::json;
using namespace detail;

// ---- Describing values in messages ------------------------------------------

std::string hex(char32_t cp) {
  char buf[8];
  const auto r = std::to_chars(buf, buf + sizeof buf, static_cast<std::uint32_t>(cp), 16);
  return std::string(buf, r.ptr);
}

// Text from the request repeated in a message is cut after this many bytes
// (as written in the message), so that a reply to a line of 256 KiB stays
// small; "…" marks the cut.
constexpr std::size_t ECHO_LIMIT = 128;

// Control characters and line separators are written as \u{..} so that a
// message always stays on one line; `quoting` also escapes as a string
// literal. At most ECHO_LIMIT bytes, cut between characters.
std::string escaped(std::string_view s, bool quoting) {
  std::string out;
  std::size_t pos = 0;
  while (pos < s.size()) {
    const std::size_t at = pos;
    const auto cp = next_code_point(s, pos);
    std::string piece;
    if (!cp) {
      piece = "\\u{fffd}";
    } else if (*cp == '\0') {
      piece = "\\0";
    } else if (*cp == '\t') {
      piece = "\\t";
    } else if (*cp == '\r') {
      piece = "\\r";
    } else if (*cp == '\n') {
      piece = "\\n";
    } else if (*cp == '\\' || *cp == '"') {
      if (quoting) piece += '\\';
      piece += static_cast<char>(*cp);
    } else if (*cp < 0x20 || (*cp >= 0x7F && *cp <= 0x9F) || *cp == 0x2028 || *cp == 0x2029) {
      piece = "\\u{" + hex(*cp) + "}";
    } else {
      piece = s.substr(at, pos - at);
    }
    if (out.size() + piece.size() > ECHO_LIMIT) {
      out += "…";
      break;
    }
    out += piece;
  }
  return out;
}

std::string debug_quoted(std::string_view s) {
  return "\"" + escaped(s, true) + "\"";
}

// The shortest text that reads back as the same double: plain digits for
// moderate magnitudes (always with a decimal point), an exponent otherwise.
std::string shortest(double f) {
  if (f == 0) return std::signbit(f) ? "-0.0" : "0.0";
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, f, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
  std::string out;
  if (sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  const std::size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e)) {
    if (c != '.') digits += c;
  }
  int exponent = 0;
  std::string_view exp_text = sci.substr(e + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
  const int length = static_cast<int>(digits.size());
  const int point = exponent + 1;  // digits before the decimal point
  if (point >= length && point <= 16) {
    out += digits;
    out.append(static_cast<std::size_t>(point - length), '0');
    out += ".0";
  } else if (point > 0 && point <= 16) {
    out += digits.substr(0, static_cast<std::size_t>(point));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(point));
  } else if (point > -5 && point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else {
    out += digits.front();
    if (length > 1) {
      out += '.';
      out += digits.substr(1);
    }
    out += 'e';
    out += std::to_string(point - 1);
  }
  return out;
}

std::string describe(const Value& v) {
  switch (v.kind) {
    case Kind::Null:
      return "null";
    case Kind::Bool:
      return v.boolean ? "boolean `true`" : "boolean `false`";
    case Kind::Unsigned:
      return "integer `" + std::to_string(v.unsigned_number) + "`";
    case Kind::Signed:
      return "integer `" + std::to_string(v.signed_number) + "`";
    case Kind::Float:
      return "floating point `" + shortest(v.float_number) + "`";
    case Kind::String:
      return "string " + debug_quoted(v.text);
    case Kind::Array:
      return "sequence";
    case Kind::Object:
      break;
  }
  return "map";
}

// A decoder reading forward knows a map or a sequence is wrong on seeing its
// opening bracket, before taking it; a scalar is named in the message, so it
// has been read to its end.
std::size_t noticed_at(const Value& v) {
  return v.kind == Kind::Array || v.kind == Kind::Object ? v.begin : v.end;
}

template <std::size_t N>
std::string unknown_variant(std::string_view name, const std::array<std::string_view, N>& known) {
  std::string out = "unknown variant `" + escaped(name, false) + "`, expected one of ";
  for (std::size_t i = 0; i < N; ++i) {
    if (i) out += ", ";
    out += "`" + std::string(known[i]) + "`";
  }
  return out;
}

// ---- Mapping the tree onto the types ----------------------------------------

constexpr std::array<std::string_view, 4> COMMANDS = {"status", "connect", "disconnect", "update"};
constexpr std::array<std::string_view, 3> PROTOCOLS = {"Vless", "Trojan", "Hysteria2"};
// Both for an empty protocol map and for one with a second member.
constexpr const char* NOT_ONE_PROTOCOL = "invalid value: map, expected map with a single key";

template <class T>
Result<void> store(T& into, Result<T>&& value) {
  if (!value) return fail(std::move(value.error()));
  into = std::move(*value);
  return {};
}

class Decoder {
 public:
  explicit Decoder(std::string_view in) : in_(in) {}

  std::unexpected<Error> fault(std::string message, std::size_t consumed) const {
    consumed = std::min(consumed, in_.size());
    std::size_t line = 1;
    std::size_t column = 0;
    for (std::size_t i = 0; i < consumed; ++i) {
      if (in_[i] == '\n') {
        ++line;
        column = 0;
      } else {
        ++column;
      }
    }
    return fail(message + " at line " + std::to_string(line) + " column " + std::to_string(column));
  }
  std::unexpected<Error> fault(const Fault& f) const { return fault(f.message, f.consumed); }

  std::unexpected<Error> invalid_type(const Value& v, std::string_view expected) const {
    return fault("invalid type: " + describe(v) + ", expected " + std::string(expected),
                 noticed_at(v));
  }

  Result<Request> request(const Tree& tree) const {
    if (!tree.root) return fault(*tree.fault);
    const Value& root = *tree.root;
    if (root.kind != Kind::Object) return invalid_type(root, "internally tagged enum Request");

    // The kind is checked as its member goes by, even in an object the parser
    // could not finish.
    const Value* cmd = nullptr;
    std::size_t kind = 0;
    for (const Value& member : root.items) {
      if (member.key != "cmd") continue;
      if (cmd) return fault("duplicate field `cmd`", member.key_end);
      cmd = &member;
      if (member.kind != Kind::String) return invalid_type(member, "variant identifier");
      const auto it = std::find(COMMANDS.begin(), COMMANDS.end(), member.text);
      if (it == COMMANDS.end()) return fault(unknown_variant(member.text, COMMANDS), member.end);
      kind = static_cast<std::size_t>(it - COMMANDS.begin());
    }
    if (!root.complete) {
      if (cmd && tree.root_pending_key_end != NONE && tree.root_pending_key == "cmd") {
        return fault("duplicate field `cmd`", tree.root_pending_key_end);
      }
      return fault(*tree.fault);
    }
    if (!cmd) return fault("missing field `cmd`", root.end);

    Result<Request> decoded = Status{};
    switch (kind) {
      case 1:
        decoded = connect(root);
        break;
      case 2:
        decoded = Disconnect{};
        break;
      case 3:
        decoded = update(root);
        break;
      default:
        break;
    }
    if (decoded && tree.fault) return fault(*tree.fault);
    return decoded;
  }

 private:
  // Reads a map member by member as a streaming struct decoder does: a known
  // member given twice fails at its second name, unknown members are passed
  // over, and at the closing brace the first missing member without a default
  // (in declaration order) is named. Bit i of `defaulted` marks names[i] as
  // optional.
  template <std::size_t N, class OnField>
  Result<void> fields(const Value& object, std::string_view expecting,
                      const std::array<std::string_view, N>& names, unsigned defaulted,
                      OnField&& on_field) const {
    if (object.kind != Kind::Object) return invalid_type(object, expecting);
    std::array<bool, N> seen{};
    for (const Value& member : object.items) {
      const auto it = std::find(names.begin(), names.end(), member.key);
      if (it == names.end()) continue;
      const auto i = static_cast<std::size_t>(it - names.begin());
      if (seen[i]) return fault("duplicate field `" + std::string(names[i]) + "`", member.key_end);
      seen[i] = true;
      OMBREL_TRY(on_field(i, member));
    }
    for (std::size_t i = 0; i < N; ++i) {
      if (!seen[i] && !((defaulted >> i) & 1U)) {
        return fault("missing field `" + std::string(names[i]) + "`", object.end);
      }
    }
    return {};
  }

  Result<std::string> text(const Value& v) const {
    if (v.kind != Kind::String) return invalid_type(v, "a string");
    return v.text;
  }

  Result<bool> flag(const Value& v) const {
    if (v.kind != Kind::Bool) return invalid_type(v, "a boolean");
    return v.boolean;
  }

  Result<std::uint16_t> port(const Value& v) const {
    constexpr std::uint64_t top = std::numeric_limits<std::uint16_t>::max();
    if (v.kind == Kind::Unsigned && v.unsigned_number <= top) {
      return static_cast<std::uint16_t>(v.unsigned_number);
    }
    if (v.kind == Kind::Unsigned || v.kind == Kind::Signed) {
      return fault("invalid value: " + describe(v) + ", expected u16", v.end);
    }
    return invalid_type(v, "u16");
  }

  template <class T, class Element>
  Result<std::vector<T>> sequence(const Value& v, Element&& element) const {
    if (v.kind != Kind::Array) return invalid_type(v, "a sequence");
    std::vector<T> out;
    out.reserve(v.items.size());
    for (const Value& item : v.items) {
      Result<T> r = element(item);
      if (!r) return fail(std::move(r.error()));
      out.push_back(std::move(*r));
    }
    return out;
  }

  Result<std::vector<std::string>> texts(const Value& v) const {
    return sequence<std::string>(v, [&](const Value& item) { return text(item); });
  }

  Result<Request> connect(const Value& root) const {
    static constexpr std::array<std::string_view, 6> names = {
        "nodes", "country", "proxy_only", "bypass_apps", "sites", "only_listed"};
    Connect c;
    OMBREL_TRY(fields(root, "struct variant Request::Connect", names, 0b111110U,
                      [&](std::size_t i, const Value& v) -> Result<void> {
                        switch (i) {
                          case 0:
                            return store(c.nodes, sequence<ServerNode>(
                                                      v, [&](const Value& n) { return node(n); }));
                          case 1:
                            return store(c.country, text(v));
                          case 2:
                            return store(c.proxy_only, flag(v));
                          case 3:
                            return store(c.bypass_apps, texts(v));
                          case 4:
                            return store(c.sites, texts(v));
                          default:
                            return store(c.only_listed, flag(v));
                        }
                      }));
    return c;
  }

  Result<Request> update(const Value& root) const {
    static constexpr std::array<std::string_view, 5> names = {"version", "app_path", "app_sha256",
                                                              "service_path", "service_sha256"};
    static constexpr std::array<std::string Update::*, 5> members = {
        &Update::version, &Update::app_path, &Update::app_sha256, &Update::service_path,
        &Update::service_sha256};
    Update u;
    OMBREL_TRY(
        fields(root, "struct variant Request::Update", names, 0U,
               [&](std::size_t i, const Value& v) { return store(u.*members[i], text(v)); }));
    return u;
  }

  Result<ServerNode> node(const Value& v) const {
    static constexpr std::array<std::string_view, 6> names = {"id",     "address",  "port",
                                                              "remark", "protocol", "raw"};
    ServerNode n;
    OMBREL_TRY(fields(v, "struct ServerNode", names, 0U,
                      [&](std::size_t i, const Value& m) -> Result<void> {
                        switch (i) {
                          case 0:
                            return store(n.id, text(m));
                          case 1:
                            return store(n.address, text(m));
                          case 2:
                            return store(n.port, port(m));
                          case 3:
                            return store(n.remark, text(m));
                          case 4:
                            return store(n.protocol, protocol(m));
                          default:
                            return store(n.raw, text(m));
                        }
                      }));
    return n;
  }

  // One member whose name is the protocol and whose value its settings. An
  // empty map fails at its closing brace, a second member at its name (after
  // the first member's settings have been read), both with NOT_ONE_PROTOCOL.
  Result<Protocol> protocol(const Value& v) const {
    if (v.kind != Kind::Object) return invalid_type(v, "enum Protocol");
    if (v.items.empty()) return fault(NOT_ONE_PROTOCOL, v.end);
    const Value& chosen = v.items.front();
    const auto it = std::find(PROTOCOLS.begin(), PROTOCOLS.end(), chosen.key);
    if (it == PROTOCOLS.end()) return fault(unknown_variant(chosen.key, PROTOCOLS), chosen.key_end);
    Result<Protocol> out = Protocol{};
    switch (it - PROTOCOLS.begin()) {
      case 0:
        out = vless(chosen);
        break;
      case 1:
        out = trojan(chosen);
        break;
      default:
        out = hysteria2(chosen);
        break;
    }
    if (out && v.items.size() > 1) return fault(NOT_ONE_PROTOCOL, v.items[1].key_end);
    return out;
  }

  Result<Protocol> vless(const Value& v) const {
    static constexpr std::array<std::string_view, 11> names = {
        "uuid",    "sni",          "public_key", "short_id", "flow", "fingerprint",
        "network", "service_name", "authority",  "host",     "path"};
    static constexpr std::array<std::string Vless::*, 11> members = {
        &Vless::uuid,      &Vless::sni,         &Vless::public_key, &Vless::short_id,
        &Vless::flow,      &Vless::fingerprint, &Vless::network,    &Vless::service_name,
        &Vless::authority, &Vless::host,        &Vless::path};
    Vless s;
    OMBREL_TRY(fields(v, "struct Vless", names, 0U, [&](std::size_t i, const Value& m) {
      return store(s.*members[i], text(m));
    }));
    return s;
  }

  Result<Protocol> trojan(const Value& v) const {
    static constexpr std::array<std::string_view, 2> names = {"password", "sni"};
    Trojan s;
    OMBREL_TRY(fields(v, "struct Trojan", names, 0U, [&](std::size_t i, const Value& m) {
      return store(i == 0 ? s.password : s.sni, text(m));
    }));
    return s;
  }

  Result<Protocol> hysteria2(const Value& v) const {
    static constexpr std::array<std::string_view, 4> names = {"password", "sni", "insecure",
                                                              "obfs_password"};
    Hysteria2 s;
    OMBREL_TRY(fields(v, "struct Hysteria2", names, 0U,
                      [&](std::size_t i, const Value& m) -> Result<void> {
                        switch (i) {
                          case 0:
                            return store(s.password, text(m));
                          case 1:
                            return store(s.sni, text(m));
                          case 2:
                            return store(s.insecure, flag(m));
                          default:
                            return store(s.obfs_password, text(m));
                        }
                      }));
    return s;
  }

  std::string_view in_;
};

}  // namespace

Result<Request> parse_request(std::string_view line) {
  const std::string_view in = trim_unicode_space(line);
  return Decoder(in).request(read_tree(in));
}

}  // namespace ombrel::control
