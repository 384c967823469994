// A request line through everything that runs before the state lock:
// parsing, node checks, selection, name resolution (a made-up resolver, no
// network) and the building of both core documents. It must never fail or
// crash; every fault is a refusal.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "control/handling.hpp"

namespace {

using namespace ombrel;

// Answers from the name alone: some names fail, some give IPv4, some IPv6,
// some both, so every branch of the address choice is reached.
Result<std::vector<IpAddress>> made_up_lookup(const std::string& host) {
  std::uint32_t h = 2166136261u;
  for (unsigned char c : host) h = (h ^ c) * 16777619u;
  std::vector<IpAddress> out;
  switch (h % 5) {
    case 0:
      return fail("имя не найдено");
    case 1:
      break;
    case 2:
      out.push_back(Ipv4{198, 51, 100, static_cast<std::uint8_t>(h >> 8)});
      break;
    case 3:
      out.push_back(Ipv6{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                         static_cast<std::uint8_t>(h >> 8)});
      break;
    default:
      out.push_back(Ipv6{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
      out.push_back(Ipv4{203, 0, 113, static_cast<std::uint8_t>(h >> 16)});
      break;
  }
  return out;
}

std::atomic<std::uint64_t> counter{0};

const control::PrepareDeps& deps() {
  static const control::PrepareDeps d{
      .counter = &counter,
      .recent_seen =
          [] {
            return std::vector<std::string>{"Amsterdam 1 app_premium", "b"};
          },
      .recent_failed =
          [] {
            return std::vector<std::string>{"a", "Frankfurt 2"};
          },
      .lookup = made_up_lookup,
  };
  return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const control::PreparedAction action = control::read_and_prepare(line, deps());
  if (const auto* refuse = std::get_if<control::Refuse>(&action)) {
    if (refuse->code.empty()) std::abort();
  }
  return 0;
}
