#pragma once
// Errors are values: a chain of messages, outermost first. An operation that
// fails deep down returns the system's message; each caller on the way up may
// put its own sentence on top with `context`.
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ombrel {

class Error {
 public:
  explicit Error(std::string message) { chain_.push_back(std::move(message)); }

  // Puts `outer` on top of this chain.
  Error wrapped(std::string outer) const&;
  Error wrapped(std::string outer) &&;

  const std::vector<std::string>& chain() const { return chain_; }
  const std::string& outermost() const { return chain_.front(); }

  // The whole chain joined by ": ", outermost first.
  std::string to_string() const;

  // The command line's final form: "Error: outer", empty line, "Caused by:",
  // and the causes indented by four spaces, numbered when there are several.
  std::string multiline() const;

  friend bool operator==(const Error&, const Error&) = default;

 private:
  std::vector<std::string> chain_;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(std::string message) {
  return std::unexpected<Error>(Error(std::move(message)));
}
inline std::unexpected<Error> fail(Error error) { return std::unexpected<Error>(std::move(error)); }

// Adds an outer message to a failed result, leaves a success as it is.
template <class T>
Result<T> context(Result<T>&& result, std::string outer) {
  if (result) return std::move(result);
  return std::unexpected<Error>(std::move(result.error()).wrapped(std::move(outer)));
}

}  // namespace ombrel

// Propagates the error of `expr` (a Result) to the caller.
#define OMBREL_TRY(expr)                                                \
  do {                                                                  \
    auto&& ombrel_try_result_ = (expr);                                 \
    if (!ombrel_try_result_) return ::ombrel::fail(ombrel_try_result_.error()); \
  } while (0)
