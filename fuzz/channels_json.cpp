// "channels.json" as found on disk, whatever an earlier run, a crash or
// someone else left there: reading never fails or crashes, and what was read
// is written and read back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "registry/stored.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ombrel::registry;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const Stored stored = read_stored(text);
  if (read_stored(write_stored(stored)) != stored) std::abort();
  return 0;
}
