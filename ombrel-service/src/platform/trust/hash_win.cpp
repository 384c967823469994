#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <cstdio>

#include "platform/trust/hash.hpp"

namespace ombrel::platform {

namespace {

// CNG reports NTSTATUS values, not Win32 error codes; they are shown as the
// documentation lists them.
Error cng_error(std::string_view call, NTSTATUS status) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
  return Error(std::string(call) + ": NTSTATUS " + code);
}

bool ok(NTSTATUS status) {
  return status >= 0;
}

}  // namespace

struct Sha256::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~State() {
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};

Sha256::Sha256(std::unique_ptr<State> state) : state_(std::move(state)) {}
Sha256::Sha256(Sha256&& other) noexcept = default;
Sha256& Sha256::operator=(Sha256&& other) noexcept = default;
Sha256::~Sha256() = default;

Result<Sha256> Sha256::create() {
  auto state = std::make_unique<State>();
  NTSTATUS status =
      BCryptOpenAlgorithmProvider(&state->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  if (!ok(status)) {
    state->algorithm = nullptr;
    return fail(cng_error("BCryptOpenAlgorithmProvider", status));
  }
  // No object buffer: CNG keeps the hash state itself (Windows 7 and later).
  status = BCryptCreateHash(state->algorithm, &state->hash, nullptr, 0, nullptr, 0, 0);
  if (!ok(status)) {
    state->hash = nullptr;
    return fail(cng_error("BCryptCreateHash", status));
  }
  return Sha256(std::move(state));
}

Result<void> Sha256::update(std::string_view bytes) {
  if (!state_) return fail("sha-256: hash already finished");
  // BCryptHashData takes a 32-bit length.
  constexpr std::size_t CHUNK = 0x40000000;
  while (!bytes.empty()) {
    const std::size_t n = bytes.size() < CHUNK ? bytes.size() : CHUNK;
    auto* data = reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data()));
    const NTSTATUS status = BCryptHashData(state_->hash, data, static_cast<ULONG>(n), 0);
    if (!ok(status)) return fail(cng_error("BCryptHashData", status));
    bytes.remove_prefix(n);
  }
  return {};
}

Result<Sha256Digest> Sha256::finish() {
  if (!state_) return fail("sha-256: hash already finished");
  const auto state = std::move(state_);
  Sha256Digest digest{};
  const NTSTATUS status =
      BCryptFinishHash(state->hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
  if (!ok(status)) return fail(cng_error("BCryptFinishHash", status));
  return digest;
}

}  // namespace ombrel::platform
