#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/protocol.hpp"

namespace ombrel::control {
namespace {

const char* const TROJAN = R"({"Trojan":{"password":"p","sni":"s.example"}})";

// A connect request with one node whose "port" and "protocol" are written as given.
std::string one_node(std::string_view port, std::string_view protocol) {
  return std::string(R"({"cmd":"connect","nodes":[{"id":"1","address":"a.example","port":)") +
         std::string(port) + R"(,"remark":"r","protocol":)" + std::string(protocol) +
         R"(,"raw":""}]})";
}

// The message for a fault found once the first `through` in the (one-line)
// request has been read. Positions are counted in bytes, as the reader sees them.
std::string at(const std::string& message, const std::string& line, std::string_view through) {
  const auto pos = line.find(through);
  EXPECT_NE(pos, std::string::npos) << through;
  return message + " at line 1 column " + std::to_string(pos + through.size());
}

ServerNode trojan_node(std::uint16_t port) {
  return ServerNode{"1", "a.example", port, "r", Trojan{"p", "s.example"}, ""};
}

TEST(ParseRequest, ReadsEveryKind) {
  const Vless vless{"u",   "sni",  "pk", "sid", "xtls-rprx-vision", "chrome", "grpc",
                    "svc", "auth", "h",  "/p"};
  const Hysteria2 hy{"pw", "h.example", true, "ob"};
  struct Case {
    std::string line;
    Request want;
  };
  const Case cases[] = {
      {R"({"cmd":"status"})", Status{}},
      {R"({"cmd":"status","verbose":true,"nodes":5})", Status{}},
      {R"({"x":[1,{"y":null}],"cmd":"disconnect"})", Disconnect{}},
      {R"({"nodes":[],"cmd":"connect"})", Connect{}},
      // Escapes in member names are resolved before the names are matched.
      {R"({"\u0063md":"status"})", Status{}},
      {one_node("0", TROJAN), Connect{{trojan_node(0)}, "", false, {}, {}, false}},
      {one_node("65535", TROJAN), Connect{{trojan_node(65535)}, "", false, {}, {}, false}},
      {R"({"cmd":"connect","country":"DE","proxy_only":true,"bypass_apps":["C:\\a b\\x.exe","y.exe"],)"
       R"("sites":["https://ex.example/p"],"only_listed":true,"unknown":{"a":[]},"nodes":[)"
       R"({"raw":"vless://x","protocol":{"Vless":{"uuid":"u","sni":"sni","public_key":"pk",)"
       R"("short_id":"sid","flow":"xtls-rprx-vision","fingerprint":"chrome","network":"grpc",)"
       R"("service_name":"svc","authority":"auth","host":"h","path":"/p","extra":1}},)"
       R"("remark":"Берлин app_x","port":443,"address":"v.example","id":"a"},)"
       R"({"id":"b","address":"h.example","port":8443,"remark":"Ⅱ","raw":"",)"
       R"("protocol":{"Hysteria2":{"password":"pw","sni":"h.example","insecure":true,"obfs_password":"ob"}}}]})",
       Connect{{ServerNode{"a", "v.example", 443, "Берлин app_x", vless, "vless://x"},
                ServerNode{"b", "h.example", 8443, "Ⅱ", hy, ""}},
               "DE",
               true,
               {"C:\\a b\\x.exe", "y.exe"},
               {"https://ex.example/p"},
               true}},
      {R"({"cmd":"update","version":"2.1","app_path":"C:\\n\\a.exe","app_sha256":"AB",)"
       R"("service_path":"s.exe","service_sha256":"cd","note":"x"})",
       Update{"2.1", "C:\\n\\a.exe", "AB", "s.exe", "cd"}},
      // Unicode white space around the object is not part of it.
      {"\xE3\x80\x80 \t{\"cmd\":\"status\"}\r\n\xE2\x80\xA8", Status{}},
      {"{\n  \"cmd\" : \"disconnect\"\n}", Disconnect{}},
  };
  for (const auto& c : cases) {
    const auto got = parse_request(c.line);
    ASSERT_TRUE(got) << c.line << "\n" << got.error().to_string();
    EXPECT_EQ(*got, c.want) << c.line;
  }
}

TEST(ParseRequest, NamesTheFirstFaultAndWhereItWasFound) {
  const std::string unknown_cmd =
      "unknown variant `Status`, expected one of `status`, `connect`, `disconnect`, `update`";
  const std::string unknown_protocol =
      "unknown variant `vless`, expected one of `Vless`, `Trojan`, `Hysteria2`";
  const std::string not_one = "invalid value: map, expected map with a single key";
  struct Case {
    std::string line;
    std::string want;
  };
  const std::string pnode = one_node("443", R"({"Trojan":{"password":"p","sni":"s"},"Vless":{}})");
  const std::string hy =
      one_node("443", R"({"Hysteria2":{"password":"p","sni":"s","insecure":false}})");
  const Case cases[] = {
      // The kind: missing, twice, wrong case, wrong type.
      {R"({})", "missing field `cmd` at line 1 column 2"},
      {R"({"verbose":true})", "missing field `cmd` at line 1 column 16"},
      {R"({"cmd":"status","cmd":"status"})", "duplicate field `cmd` at line 1 column 21"},
      {R"({"cmd":"Status"})", unknown_cmd + " at line 1 column 15"},
      {R"({"cmd":null})", "invalid type: null, expected variant identifier at line 1 column 11"},
      {R"({"cmd":{}})", "invalid type: map, expected variant identifier at line 1 column 7"},
      // A fault in the kind is found as its member goes by, before a later syntax fault.
      {R"({"cmd":"Status","x":)", unknown_cmd + " at line 1 column 15"},
      {R"({"cmd":"status","cmd")", "duplicate field `cmd` at line 1 column 21"},
      // ... while the other members are judged once the whole object has been read.
      {R"({"cmd":"connect","nodes":5,)", "EOF while parsing a value at line 1 column 27"},
      {R"("status")",
       "invalid type: string \"status\", expected internally tagged enum Request at line 1 "
       "column 8"},
      {R"([{"cmd":"status"}])",
       "invalid type: sequence, expected internally tagged enum Request at line 1 column 0"},

      // Connect members.
      {R"({"cmd":"connect"})", "missing field `nodes` at line 1 column 17"},
      {R"({"cmd":"connect","nodes":[],"nodes":[]})", "duplicate field `nodes` at line 1 column 35"},
      {R"({"cmd":"connect","nodes":null})",
       "invalid type: null, expected a sequence at line 1 column 29"},
      {R"({"cmd":"connect","nodes":{}})",
       "invalid type: map, expected a sequence at line 1 column 25"},
      {R"({"cmd":"connect","nodes":[],"country":null})",
       "invalid type: null, expected a string at line 1 column 42"},
      {R"({"cmd":"connect","country":5,"nodes":[]})",
       "invalid type: integer `5`, expected a string at line 1 column 28"},
      {R"({"cmd":"connect","nodes":[],"proxy_only":"x"})",
       "invalid type: string \"x\", expected a boolean at line 1 column 44"},
      {R"({"cmd":"connect","nodes":[],"sites":["a",1]})",
       "invalid type: integer `1`, expected a string at line 1 column 42"},
      {R"({"cmd":"connect","nodes":[5]})",
       "invalid type: integer `5`, expected struct ServerNode at line 1 column 27"},
      // Of several missing node members the first in declaration order is named, at the brace.
      {R"({"cmd":"connect","nodes":[{"raw":"","port":1}]})",
       "missing field `id` at line 1 column 45"},

      // Ports.
      {one_node("-1", TROJAN),
       at("invalid value: integer `-1`, expected u16", one_node("-1", TROJAN), "\"port\":-1")},
      {one_node("65536", TROJAN), at("invalid value: integer `65536`, expected u16",
                                     one_node("65536", TROJAN), "\"port\":65536")},
      {one_node("1.5", TROJAN), at("invalid type: floating point `1.5`, expected u16",
                                   one_node("1.5", TROJAN), "\"port\":1.5")},
      {one_node("443.0", TROJAN), at("invalid type: floating point `443.0`, expected u16",
                                     one_node("443.0", TROJAN), "\"port\":443.0")},
      {one_node("1e21", TROJAN), at("invalid type: floating point `1e21`, expected u16",
                                    one_node("1e21", TROJAN), "\"port\":1e21")},
      {one_node("1e2", TROJAN), at("invalid type: floating point `100.0`, expected u16",
                                   one_node("1e2", TROJAN), "\"port\":1e2")},
      {one_node("-0", TROJAN), at("invalid type: floating point `-0.0`, expected u16",
                                  one_node("-0", TROJAN), "\"port\":-0")},
      {one_node("\"x\"", TROJAN),
       at("invalid type: string \"x\", expected u16", one_node("\"x\"", TROJAN), "\"port\":\"x\"")},
      {one_node("null", TROJAN),
       at("invalid type: null, expected u16", one_node("null", TROJAN), "\"port\":null")},

      // Protocol forms.
      {one_node("1", R"({"vless":{}})"),
       at(unknown_protocol, one_node("1", R"({"vless":{}})"), "{\"vless\"")},
      {one_node("1", "{}"), at(not_one, one_node("1", "{}"), "\"protocol\":{}")},
      {pnode, at(not_one, pnode, "\"Vless\"")},
      {one_node("1", R"("Trojan")"), at("invalid type: string \"Trojan\", expected enum Protocol",
                                        one_node("1", R"("Trojan")"), "\"protocol\":\"Trojan\"")},
      {one_node("1", R"({"Trojan":[]})"), at("invalid type: sequence, expected struct Trojan",
                                             one_node("1", R"({"Trojan":[]})"), "{\"Trojan\":")},
      {one_node("1", R"({"Trojan":{"password":"p"}})"),
       at("missing field `sni`", one_node("1", R"({"Trojan":{"password":"p"}})"), "\"p\"}")},
      {hy, at("missing field `obfs_password`", hy, "false}")},

      // Syntax.
      {"", "EOF while parsing a value at line 1 column 0"},
      {" \t\r\n\xC2\xA0", "EOF while parsing a value at line 1 column 0"},
      {R"({"cmd":"status"}{"cmd":"status"})", "trailing characters at line 1 column 17"},
      {R"({"cmd":"status"} {"cmd":"status"})", "trailing characters at line 1 column 18"},
      // A wrongly typed member is found before the text after the object.
      {R"({"cmd":"connect","nodes":7} x)",
       "invalid type: integer `7`, expected a sequence at line 1 column 26"},
      {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
      // Columns count from the first byte left after trimming.
      {"\xE3\x80\x80  {\"x\":?}", "expected value at line 1 column 6"},
      {R"({"cmd":"status")", "EOF while parsing an object at line 1 column 15"},
      {R"({"cmd":"status",)", "EOF while parsing a value at line 1 column 16"},
      {R"({"cmd":)", "EOF while parsing a value at line 1 column 7"},
      {R"({"cmd":"stat)", "EOF while parsing a string at line 1 column 12"},
      {R"({"x":[1,2)", "EOF while parsing a list at line 1 column 9"},
      {R"({"x":tr)", "EOF while parsing a value at line 1 column 7"},
      {R"({1:2})", "key must be a string at line 1 column 2"},
      {R"({"x" 1})", "expected `:` at line 1 column 6"},
      {R"({"x":1 "y":2})", "expected `,` or `}` at line 1 column 8"},
      {R"({"x":[1 2]})", "expected `,` or `]` at line 1 column 9"},
      {R"({"x":1,})", "trailing comma at line 1 column 8"},
      {R"({"x":[1,]})", "trailing comma at line 1 column 9"},
      {R"({"x":?})", "expected value at line 1 column 6"},
      {R"({"x":nul})", "expected ident at line 1 column 9"},
      {R"({"x":01})", "invalid number at line 1 column 7"},
      {R"({"x":1.})", "invalid number at line 1 column 8"},
      {R"({"x":1e999})", "number out of range at line 1 column 10"},
      {R"({"x":"a\qb"})", "invalid escape at line 1 column 9"},
      {"{\"x\":\"a\tb\"}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 8"},
      // Lines and columns: a line feed starts a new line at column 0; a
      // two-byte letter advances the column by two.
      {"{\n\"cmd\":\n\"status\",\n\"x\":}", "expected value at line 4 column 5"},
      {"{\"x\":\"Привет\",\n\"y\":\"Мир\" ?}", "expected `,` or `}` at line 2 column 14"},
      {R"({"remark":"Привет","x":?})", "expected value at line 1 column 30"},
      // Names from the line stay on one line in the message.
      {R"({"cmd":"a\nb"})",
       "unknown variant `a\\nb`, expected one of `status`, `connect`, `disconnect`, `update` at "
       "line 1 column 13"},
  };
  for (const auto& c : cases) {
    const auto got = parse_request(c.line);
    ASSERT_FALSE(got) << c.line;
    EXPECT_EQ(got.error().to_string(), c.want) << c.line;
    EXPECT_EQ(got.error().chain().size(), 1u);
  }
}

// Text from the request comes back in a message cut short, so that no
// bad_request reply grows with the request.
TEST(ParseRequest, RepeatsAtMost128BytesOfTheRequestInAMessage) {
  const auto times = [](int n, const std::string& text) {
    std::string out;
    while (n-- > 0) out += text;
    return out;
  };
  const std::string name(240 * 1024, 'n');
  const std::string cut = std::string(128, 'n') + "…";
  struct Case {
    std::string line;
    std::string want;  // a prefix
  };
  const Case cases[] = {
      {R"({"cmd":")" + name + "\"}", "unknown variant `" + cut + "`, expected one of `status`"},
      {one_node("1", "{\"" + name + "\":{}}"),
       "unknown variant `" + cut + "`, expected one of `Vless`"},
      {R"({"cmd":"connect","nodes":")" + name + "\"}",
       "invalid type: string \"" + cut + "\", expected a sequence"},
      // Escaped, each character whole: "\u{1}" is five bytes, so 25 fit.
      {R"({"cmd":")" + times(30000, "\\u0001") + "\"}",
       "unknown variant `" + times(25, "\\u{1}") + "…`"},
      {R"({"cmd":"connect","nodes":")" + times(100000, "\\\"") + "\"}",
       "invalid type: string \"" + times(64, "\\\"") + "…\", expected a sequence"},
  };
  for (const auto& c : cases) {
    const auto got = parse_request(c.line);
    ASSERT_FALSE(got);
    const std::string message = got.error().to_string();
    EXPECT_TRUE(message.starts_with(c.want)) << message.substr(0, 400);
    // The largest bad_request reply, as documented.
    EXPECT_LE(write_reply(bad_request(message)).size(), 512u) << message.substr(0, 400);
  }
}

TEST(ParseRequest, RefusesNestingBeyondTheLimitWithoutExhaustingTheStack) {
  const std::string within =
      R"({"cmd":"status","x":)" + std::string(126, '[') + std::string(126, ']') + "}";
  EXPECT_TRUE(parse_request(within));

  const std::string deep = R"({"cmd":"status","x":)" + std::string(200000, '[');
  const auto got = parse_request(deep);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().to_string(), "recursion limit exceeded at line 1 column 147");
}

TEST(WriteReply, WritesEveryShapeByteForByte) {
  struct Case {
    Reply reply;
    std::string want;
  };
  const Case cases[] = {
      {Disconnected{}, "{\"state\":\"disconnected\"}\n"},
      {Connecting{}, "{\"state\":\"connecting\"}\n"},
      {Connected{"Берлин", std::nullopt}, "{\"state\":\"connected\",\"node\":\"Берлин\"}\n"},
      {Connected{"DE", 10809}, "{\"state\":\"connected\",\"node\":\"DE\",\"proxy_port\":10809}\n"},
      {no_nodes(),
       "{\"state\":\"error\",\"code\":\"no_nodes\",\"message\":\"список узлов пуст\"}\n"},
      {bad_node("Berlin app_x"),
       "{\"state\":\"error\",\"code\":\"bad_node\",\"message\":\"негодный узел: Berlin app_x\"}\n"},
      // Separators and bidirectional controls of a client's text as escapes.
      {bad_node("a\xE2\x80\xA8z\xE2\x80\xAE\xE2\x81\xA9\xE2\x80\xAF"),
       "{\"state\":\"error\",\"code\":\"bad_node\",\"message\":\"негодный узел: "
       "a\\u2028z\\u202e\\u2069\xE2\x80\xAF\"}\n"},
      {bad_request("expected `:` at line 1 column 6 \"q\"\t\\"),
       "{\"state\":\"error\",\"code\":\"bad_request\",\"message\":"
       "\"expected `:` at line 1 column 6 \\\"q\\\"\\t\\\\\"}\n"},
      {Updating{"2.0.1", false},
       "{\"state\":\"updating\",\"version\":\"2.0.1\",\"tunnel_drops\":false}\n"},
      {Updating{"2.0.1", true},
       "{\"state\":\"updating\",\"version\":\"2.0.1\",\"tunnel_drops\":true}\n"},
      // Text that is not UTF-8 (an OS message, say) cannot break the reply.
      {core_start_failed("не удалось запустить x: \xFF"),
       "{\"state\":\"error\",\"code\":\"core_start_failed\",\"message\":"
       "\"не удалось запустить x: \xEF\xBF\xBD\"}\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(write_reply(c.reply), c.want);
}

TEST(ClientSide, RequestsAndRepliesReadBackUnchanged) {
  const Request requests[] = {
      Status{},
      Disconnect{},
      Update{"1", "a", "b", "c", "d"},
      Connect{{ServerNode{"a", "v.example", 443, "Берлин",
                          Vless{"u", "s", "k", "i", "f", "c", "n", "sv", "au", "h", "/"}, "raw"},
               trojan_node(1), ServerNode{"c", "h", 2, "r", Hysteria2{"p", "s", true, "o"}, ""}},
              "DE",
              true,
              {"x.exe"},
              {"ex.example"},
              true},
  };
  for (const auto& r : requests) {
    const auto back = parse_request(write_request(r));
    ASSERT_TRUE(back) << back.error().to_string();
    EXPECT_EQ(*back, r);
  }

  const Reply replies[] = {Disconnected{},
                           Connecting{},
                           Connected{"n", std::nullopt},
                           Connected{"n", 10809},
                           bad_sha256(),
                           Updating{"v", true},
                           Connected{"a\xE2\x80\xA8\xE2\x81\xA6z", std::nullopt}};
  for (const auto& r : replies) {
    const auto back = parse_reply(write_reply(r));
    ASSERT_TRUE(back) << back.error().to_string();
    EXPECT_EQ(*back, r);
  }
  for (const char* bad : {"", "{}", R"({"state":"connected"})", R"({"state":"x"})",
                          R"({"state":"connected","node":"n","proxy_port":70000})"}) {
    EXPECT_FALSE(parse_reply(bad)) << bad;
  }
}

}  // namespace
}  // namespace ombrel::control
