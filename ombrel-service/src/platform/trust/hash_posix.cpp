#include <openssl/err.h>
#include <openssl/evp.h>

#include "platform/trust/hash.hpp"

namespace ombrel::platform {

namespace {

// OpenSSL keeps its errors on a per-thread queue; the newest one names the
// failure, and the queue is emptied so that it does not leak into the next.
Error openssl_error(std::string_view call) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  std::string text(call);
  if (code != 0) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof buf);
    text += ": ";
    text += buf;
  }
  return Error(std::move(text));
}

}  // namespace

struct Sha256::State {
  EVP_MD_CTX* ctx = nullptr;
  ~State() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256(std::unique_ptr<State> state) : state_(std::move(state)) {}
Sha256::Sha256(Sha256&& other) noexcept = default;
Sha256& Sha256::operator=(Sha256&& other) noexcept = default;
Sha256::~Sha256() = default;

Result<Sha256> Sha256::create() {
  auto state = std::make_unique<State>();
  state->ctx = EVP_MD_CTX_new();
  if (state->ctx == nullptr) return fail(openssl_error("EVP_MD_CTX_new"));
  if (EVP_DigestInit_ex(state->ctx, EVP_sha256(), nullptr) != 1) {
    return fail(openssl_error("EVP_DigestInit_ex"));
  }
  return Sha256(std::move(state));
}

Result<void> Sha256::update(std::string_view bytes) {
  if (!state_) return fail("sha-256: hash already finished");
  if (EVP_DigestUpdate(state_->ctx, bytes.data(), bytes.size()) != 1) {
    return fail(openssl_error("EVP_DigestUpdate"));
  }
  return {};
}

Result<Sha256Digest> Sha256::finish() {
  if (!state_) return fail("sha-256: hash already finished");
  const auto state = std::move(state_);
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(state->ctx, digest.data(), &length) != 1 || length != digest.size()) {
    return fail(openssl_error("EVP_DigestFinal_ex"));
  }
  return digest;
}

}  // namespace ombrel::platform
