#pragma once
// SHA-256 from the system's cryptographic library (CNG on Windows, OpenSSL's
// libcrypto on Linux), fed piece by piece so that large files never have to
// sit in memory whole.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/error.hpp"

namespace ombrel::platform {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
 public:
  // A fresh hash; fails only when the library cannot provide the algorithm.
  static Result<Sha256> create();

  Sha256(Sha256&& other) noexcept;
  Sha256& operator=(Sha256&& other) noexcept;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  ~Sha256();

  // Adds the next piece of the message.
  Result<void> update(std::string_view bytes);
  // The digest of everything added. The hash is used up: `update` and
  // `finish` fail afterwards.
  Result<Sha256Digest> finish();

 private:
  struct State;
  explicit Sha256(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// Two lower-case hexadecimal digits per byte.
std::string to_hex(const Sha256Digest& digest);

// The digest of `bytes` in one call.
Result<Sha256Digest> sha256(std::string_view bytes);

}  // namespace ombrel::platform
