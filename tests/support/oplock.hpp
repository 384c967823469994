#pragma once
// An oplock held on a file the way any user who may read it can hold one
// (Windows): while it lasts, every other open of the file waits for it to
// be let go, which this holder never does. Released when dropped.
#include <memory>
#include <string>

namespace ombrel::testsupport {

class HeldOplock {
 public:
  // nullptr (with a test failure added) when the system grants none; always
  // nullptr on Linux, which has no oplocks.
  static std::unique_ptr<HeldOplock> take(const std::string& path);
  virtual ~HeldOplock() = default;
};

}  // namespace ombrel::testsupport
