// The writing half of the wire protocol: replies as the service writes them,
// requests as a client writes them, and a client's reading of a reply line.
// Requests are read in protocol.cpp.
#include <nlohmann/json.hpp>
#include <optional>
#include <variant>

#include "base/text.hpp"
#include "control/protocol.hpp"
#include "overloaded.hpp"

namespace ombrel::control {
namespace {

using nlohmann::json;

std::string dumped(const nlohmann::ordered_json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

// A reply with the line and paragraph separators and the bidirectional
// controls a client's text may hold (U+2028..U+202E, U+2066..U+2069) written
// as JSON escapes: a reader gets the same value, and a reply line shown or
// logged as it is neither breaks nor reads in another order in a viewer.
// Their bytes (E2 80 A8..AE, E2 81 A6..A9) occur only inside strings there.
std::string with_layout_controls_escaped(std::string line) {
  static constexpr char HEX[] = "0123456789abcdef";
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(line[i]); };
  std::string out;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const bool control = byte(i) == 0xe2 && i + 2 < line.size() &&
                         ((byte(i + 1) == 0x80 && byte(i + 2) >= 0xa8 && byte(i + 2) <= 0xae) ||
                          (byte(i + 1) == 0x81 && byte(i + 2) >= 0xa6 && byte(i + 2) <= 0xa9));
    if (!control) {
      out += line[i];
      continue;
    }
    const unsigned low = ((byte(i + 1) & 0x3fu) << 6) | (byte(i + 2) & 0x3fu);
    out += "\\u20";
    out += HEX[low >> 4];
    out += HEX[low & 0xf];
    i += 2;
  }
  return out;
}

nlohmann::ordered_json node_json(const ServerNode& n) {
  nlohmann::ordered_json settings;
  const char* name = "";
  std::visit(Overloaded{
                 [&](const Vless& s) {
                   name = "Vless";
                   settings = {{"uuid", s.uuid},
                               {"sni", s.sni},
                               {"public_key", s.public_key},
                               {"short_id", s.short_id},
                               {"flow", s.flow},
                               {"fingerprint", s.fingerprint},
                               {"network", s.network},
                               {"service_name", s.service_name},
                               {"authority", s.authority},
                               {"host", s.host},
                               {"path", s.path}};
                 },
                 [&](const Trojan& s) {
                   name = "Trojan";
                   settings = {{"password", s.password}, {"sni", s.sni}};
                 },
                 [&](const Hysteria2& s) {
                   name = "Hysteria2";
                   settings = {{"password", s.password},
                               {"sni", s.sni},
                               {"insecure", s.insecure},
                               {"obfs_password", s.obfs_password}};
                 },
             },
             n.protocol);
  nlohmann::ordered_json protocol;
  protocol[name] = std::move(settings);
  return {{"id", n.id},
          {"address", n.address},
          {"port", n.port},
          {"remark", n.remark},
          {"protocol", std::move(protocol)},
          {"raw", n.raw}};
}

}  // namespace

ErrorReply bad_request(std::string message) {
  return ErrorReply{std::string(BAD_REQUEST), std::move(message)};
}
ErrorReply no_nodes() {
  return ErrorReply{std::string(NO_NODES), std::string(NO_NODES_MESSAGE)};
}
ErrorReply bad_node(std::string_view remark) {
  return ErrorReply{std::string(BAD_NODE), std::string(BAD_NODE_PREFIX) + std::string(remark)};
}
ErrorReply no_usable_nodes() {
  return ErrorReply{std::string(NO_USABLE_NODES), std::string(NO_USABLE_NODES_MESSAGE)};
}
ErrorReply bad_sha256() {
  return ErrorReply{std::string(BAD_SHA256), std::string(BAD_SHA256_MESSAGE)};
}
ErrorReply core_start_failed(std::string chain) {
  return ErrorReply{std::string(CORE_START_FAILED), std::move(chain)};
}
ErrorReply update_failed(std::string text) {
  return ErrorReply{std::string(UPDATE_FAILED), std::move(text)};
}
ErrorReply already_current() {
  return ErrorReply{std::string(ALREADY_CURRENT), std::string(ALREADY_CURRENT_MESSAGE)};
}
std::string write_reply(const Reply& reply) {
  nlohmann::ordered_json j;
  std::visit(Overloaded{
                 [&](const Disconnected&) { j["state"] = "disconnected"; },
                 [&](const Connecting&) { j["state"] = "connecting"; },
                 [&](const Connected& r) {
                   j["state"] = "connected";
                   j["node"] = r.node;
                   if (r.proxy_port) j["proxy_port"] = *r.proxy_port;
                 },
                 [&](const ErrorReply& r) {
                   j["state"] = "error";
                   j["code"] = r.code;
                   j["message"] = r.message;
                 },
                 [&](const Updating& r) {
                   j["state"] = "updating";
                   j["version"] = r.version;
                   j["tunnel_drops"] = r.tunnel_drops;
                 },
             },
             reply);
  return with_layout_controls_escaped(dumped(j));
}

std::string write_request(const Request& request) {
  nlohmann::ordered_json j;
  std::visit(Overloaded{
                 [&](const Status&) { j["cmd"] = "status"; },
                 [&](const Disconnect&) { j["cmd"] = "disconnect"; },
                 [&](const Connect& r) {
                   j["cmd"] = "connect";
                   auto& nodes = j["nodes"] = nlohmann::ordered_json::array();
                   for (const ServerNode& n : r.nodes) nodes.push_back(node_json(n));
                   j["country"] = r.country;
                   j["proxy_only"] = r.proxy_only;
                   j["bypass_apps"] = r.bypass_apps;
                   j["sites"] = r.sites;
                   j["only_listed"] = r.only_listed;
                 },
                 [&](const Update& r) {
                   j["cmd"] = "update";
                   j["version"] = r.version;
                   j["app_path"] = r.app_path;
                   j["app_sha256"] = r.app_sha256;
                   j["service_path"] = r.service_path;
                   j["service_sha256"] = r.service_sha256;
                 },
             },
             request);
  return dumped(j);
}

Result<Reply> parse_reply(std::string_view line) {
  const json j = json::parse(trim_unicode_space(line), nullptr, /*allow_exceptions=*/false);
  const auto text = [&](const char* name) -> std::optional<std::string> {
    const auto it = j.find(name);
    if (it == j.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
  };
  const auto state = j.is_object() ? text("state") : std::nullopt;
  if (!state) return fail("ответ службы не читается");
  if (*state == "disconnected") return Disconnected{};
  if (*state == "connecting") return Connecting{};
  if (*state == "connected") {
    auto node = text("node");
    if (!node) return fail("ответ службы не читается");
    Connected c{std::move(*node), std::nullopt};
    const auto port = j.find("proxy_port");
    if (port != j.end()) {
      if (!port->is_number_unsigned() || port->get<std::uint64_t>() > 65535) {
        return fail("ответ службы не читается");
      }
      c.proxy_port = port->get<std::uint16_t>();
    }
    return c;
  }
  if (*state == "error") {
    auto code = text("code");
    auto message = text("message");
    if (!code || !message) return fail("ответ службы не читается");
    return ErrorReply{std::move(*code), std::move(*message)};
  }
  if (*state == "updating") {
    auto version = text("version");
    const auto drops = j.find("tunnel_drops");
    if (!version || drops == j.end() || !drops->is_boolean()) {
      return fail("ответ службы не читается");
    }
    return Updating{std::move(*version), drops->get<bool>()};
  }
  return fail("ответ службы не читается");
}

}  // namespace ombrel::control
