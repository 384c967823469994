#include "base/error.hpp"

namespace ombrel {

Error Error::wrapped(std::string outer) const& {
  Error copy = *this;
  return std::move(copy).wrapped(std::move(outer));
}

Error Error::wrapped(std::string outer) && {
  chain_.insert(chain_.begin(), std::move(outer));
  return std::move(*this);
}

std::string Error::to_string() const {
  std::string out;
  for (std::size_t i = 0; i < chain_.size(); ++i) {
    if (i != 0) out += ": ";
    out += chain_[i];
  }
  return out;
}

std::string Error::multiline() const {
  std::string out = "Error: " + chain_.front() + "\n";
  if (chain_.size() == 1) return out;
  out += "\nCaused by:\n";
  const bool numbered = chain_.size() > 2;
  for (std::size_t i = 1; i < chain_.size(); ++i) {
    out += "    ";
    if (numbered) out += std::to_string(i - 1) + ": ";
    out += chain_[i] + "\n";
  }
  return out;
}

}  // namespace ombrel
