#include "platform/trust/hash.hpp"

namespace ombrel::platform {

std::string to_hex(const Sha256Digest& digest) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string out;
  out.reserve(digest.size() * 2);
  for (const std::uint8_t b : digest) {
    out += DIGITS[b >> 4];
    out += DIGITS[b & 0x0F];
  }
  return out;
}

Result<Sha256Digest> sha256(std::string_view bytes) {
  auto hash = Sha256::create();
  if (!hash) return fail(hash.error());
  OMBREL_TRY(hash->update(bytes));
  return hash->finish();
}

}  // namespace ombrel::platform
