// What reading an offered file means on both systems, over each one's `read`.
#include "platform/files/files.hpp"

namespace ombrel::platform {

Result<std::size_t> InputFile::read_full(std::span<char> buf) {
  std::size_t filled = 0;
  while (filled < buf.size()) {
    auto n = read(buf.subspan(filled));
    if (!n) return fail(n.error());
    if (*n == 0) break;
    filled += *n;
  }
  return filled;
}

}  // namespace ombrel::platform
