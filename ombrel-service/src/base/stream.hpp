#pragma once
// Byte streams between the service and its children (core output, the
// proxy core's standard input) and the control channel. Implementations live
// in the platform layer; the log watcher and copiers only see these.
#include <cstddef>
#include <span>
#include <string_view>

#include "base/error.hpp"

namespace ombrel {

class Reader {
 public:
  virtual ~Reader() = default;
  // Reads at most buf.size() bytes; 0 means the end of the stream.
  virtual Result<std::size_t> read(std::span<char> buf) = 0;
};

class Writer {
 public:
  virtual ~Writer() = default;
  // Writes all of `bytes` or fails.
  virtual Result<void> write_all(std::string_view bytes) = 0;
};

}  // namespace ombrel
