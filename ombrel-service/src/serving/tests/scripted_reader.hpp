#pragma once
// A stream that gives its chunks one read at a time (a read never spans two
// chunks), running a chunk's action before its first byte is read, and then
// ends or fails. Chunks must not be empty: an empty read is the end.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/stream.hpp"

namespace ombrel::serving {

class ScriptedReader final : public Reader {
 public:
  struct Chunk {
    std::string bytes;
    std::function<void()> before = {};
  };

  explicit ScriptedReader(std::vector<Chunk> chunks, bool fail_at_end = false,
                          bool* closed = nullptr)
      : chunks_(std::move(chunks)), fail_at_end_(fail_at_end), closed_(closed) {}
  ~ScriptedReader() override {
    if (closed_ != nullptr) *closed_ = true;
  }

  Result<std::size_t> read(std::span<char> buf) override {
    if (next_ == chunks_.size()) {
      if (fail_at_end_) return fail("broken pipe");
      return 0;
    }
    Chunk& chunk = chunks_[next_];
    if (offset_ == 0 && chunk.before) chunk.before();
    const std::size_t n = std::min(buf.size(), chunk.bytes.size() - offset_);
    std::memcpy(buf.data(), chunk.bytes.data() + offset_, n);
    offset_ += n;
    if (offset_ == chunk.bytes.size()) ++next_, offset_ = 0;
    return n;
  }

 private:
  std::vector<Chunk> chunks_;
  std::size_t next_ = 0;
  std::size_t offset_ = 0;
  bool fail_at_end_;
  bool* closed_;
};

}  // namespace ombrel::serving
