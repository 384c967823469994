// The shape of a PE file's signature table. Pure: the Windows port reads
// the bytes, the tests of both ports feed them.
#include <cstdint>

#include "platform/trust/trust.hpp"

namespace ombrel::platform {

namespace {

std::optional<std::uint32_t> u32_at(std::string_view bytes, std::uint64_t at) {
  if (at > bytes.size() || bytes.size() - at < 4) return std::nullopt;
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<unsigned>(i)]);
  }
  return value;
}

std::optional<std::uint16_t> u16_at(std::string_view bytes, std::uint64_t at) {
  if (at > bytes.size() || bytes.size() - at < 2) return std::nullopt;
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                    static_cast<unsigned char>(bytes[at + 1]) << 8);
}

// The length of the DER object at the start of `bytes` (tag, length and
// content), or nullopt when it is not one whole DER object with a definite
// length.
std::optional<std::uint64_t> der_object_length(std::string_view bytes) {
  if (bytes.size() < 2) return std::nullopt;
  const auto first = static_cast<unsigned char>(bytes[1]);
  std::uint64_t header = 2;
  std::uint64_t content = first;
  if (first & 0x80) {
    const unsigned count = first & 0x7F;
    // 0x80 is the indefinite length of BER, which DER does not allow.
    if (count == 0 || count > 4 || bytes.size() < 2 + count) return std::nullopt;
    content = 0;
    for (unsigned i = 0; i < count; ++i) {
      content = (content << 8) | static_cast<unsigned char>(bytes[2 + i]);
    }
    header += count;
  }
  if (content > bytes.size() - header) return std::nullopt;
  return header + content;
}

}  // namespace

std::optional<SignatureTable> signature_table_of(std::string_view headers) {
  if (headers.substr(0, 2) != "MZ") return std::nullopt;
  const auto pe = u32_at(headers, 0x3C);
  if (!pe || u32_at(headers, *pe) != 0x00004550u) return std::nullopt;  // "PE\0\0"
  const std::uint64_t optional_header = *pe + 24;
  const auto magic = u16_at(headers, optional_header);
  if (!magic) return std::nullopt;
  // The data directories follow the fields that differ between PE32 and PE32+.
  std::uint64_t directories = 0;
  if (*magic == 0x10B) {
    directories = optional_header + 96;
  } else if (*magic == 0x20B) {
    directories = optional_header + 112;
  } else {
    return std::nullopt;
  }
  const auto count = u32_at(headers, directories - 4);
  constexpr std::uint64_t SECURITY = 4;
  if (!count || *count <= SECURITY) return std::nullopt;
  const auto offset = u32_at(headers, directories + SECURITY * 8);
  const auto size = u32_at(headers, directories + SECURITY * 8 + 4);
  if (!offset || !size || *offset == 0 || *size == 0) return std::nullopt;
  return SignatureTable{*offset, *size};
}

bool signature_table_is_tight(std::string_view table) {
  if (table.empty()) return false;
  std::uint64_t at = 0;
  while (at < table.size()) {
    // dwLength, wRevision, wCertificateType, then the signature.
    const auto length = u32_at(table, at);
    if (!length || *length < 8 || *length > table.size() - at) return false;
    const std::string_view entry = table.substr(at + 8, *length - 8);
    const auto object = der_object_length(entry);
    if (!object) return false;
    const std::uint64_t padded = (*length + 7) / 8 * 8;
    if (padded > table.size() - at) return false;
    // Whatever follows the signature up to the next boundary is padding:
    // zeros, and less than the boundary's width.
    const std::string_view rest = table.substr(at + 8 + *object, padded - 8 - *object);
    if (rest.size() >= 8 || rest.find_first_not_of('\0') != std::string_view::npos) return false;
    at += padded;
  }
  return at == table.size();
}

}  // namespace ombrel::platform
