// Who may offer an update, and whose programs are installed.
#include "selfupdate/update.hpp"

namespace ombrel::selfupdate {

Result<void> check_caller(const UpdateFields& fields, const UpdateDeps& deps) {
  // An unknown caller is refused as well: peer credentials the system
  // could not give prove nothing.
  if (deps.root_callers_only && fields.caller_uid != std::optional<std::uint32_t>(0)) {
    return fail("обновление доступно только root");
  }
  return {};
}

Result<std::optional<platform::ProgramSignature>> own_signature(const UpdateDeps& deps) {
  if (!deps.program_signature) return std::optional<platform::ProgramSignature>();
  auto own = deps.own_executable();
  if (!own) return fail(own.error());
  auto signature = deps.program_signature(*own);
  if (!signature) return fail(std::move(signature.error()).wrapped("не проверить подпись " + *own));
  if (signature->state != platform::SignatureState::Signed) {
    // A developer's build that nobody signed: only its own variant takes
    // updates as they come.
    if (deps.unsigned_updates_allowed) return std::optional<platform::ProgramSignature>();
    return fail(*own + " - без действительной подписи, обновления не принимаются");
  }
  return std::optional<platform::ProgramSignature>(std::move(*signature));
}

Result<void> check_signer(const std::string& staged, std::string_view shown,
                          const platform::ProgramSignature& own, const UpdateDeps& deps) {
  const std::string path(shown);
  auto signature = deps.program_signature(staged);
  if (!signature) return fail(std::move(signature.error()).wrapped("не проверить подпись " + path));
  switch (signature->state) {
    case platform::SignatureState::Unsigned:
      return fail(path + " - без подписи");
    case platform::SignatureState::Broken:
      return fail("подпись " + path + " не сошлась");
    case platform::SignatureState::Signed:
      break;
  }
  // The publisher, not the certificate, so that a renewed certificate keeps
  // updates coming: the same organisation and common name, vouched for by
  // the same authority's key. A name alone is not enough: any authority
  // could issue it.
  if (signature->publisher != own.publisher) return fail(path + " - подписан чужим сертификатом");
  // Bytes outside the signature would be installed along with the program
  // without anybody having signed them.
  if (signature->extra_data) return fail(path + " - лишние данные после подписи");
  return {};
}

}  // namespace ombrel::selfupdate
