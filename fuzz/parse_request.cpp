// The control channel's request line, as any local client may send it: the
// parser must never crash, and a request it accepts must come back the same
// after being written out and read again. The reply reader (ombrelctl's side)
// gets the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "control/protocol.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ombrel::control;
  const std::string_view line(reinterpret_cast<const char*>(data), size);

  auto request = parse_request(line);
  if (request) {
    auto again = parse_request(write_request(*request));
    if (!again || *again != *request) std::abort();
  } else {
    // The message is a reply's text: one line.
    if (request.error().to_string().find('\n') != std::string::npos) std::abort();
  }

  auto reply = parse_reply(line);
  if (reply) {
    auto again = parse_reply(write_reply(*reply));
    if (!again || *again != *reply) std::abort();
  }
  return 0;
}
