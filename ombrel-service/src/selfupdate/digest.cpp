// Digests, the checks of an offered file, and its staged copy.
#include <memory>

#include "platform/files/files.hpp"
#include "platform/files/io_bound.hpp"
#include "platform/trust/hash.hpp"
#include "selfupdate/internal.hpp"
#include "selfupdate/update.hpp"

namespace ombrel::selfupdate {

using internal::BLOCK_SIZE;
using internal::NOT_A_PROGRAM;
using internal::PROGRAM_MARK;

namespace {

constexpr std::string_view TOO_LARGE = "файл больше допустимого";

std::string not_a_program(std::string_view shown) {
  return std::string(shown) + std::string(NOT_A_PROGRAM);
}

std::string cannot_read(std::string_view shown) {
  return "не прочитать " + std::string(shown);
}

std::string cannot_open(std::string_view shown) {
  return "не открыть " + std::string(shown);
}

std::string cannot_install(std::string_view target) {
  return "не поставить " + std::string(target);
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool starts_with_mark(std::string_view head) {
  return head.size() >= PROGRAM_MARK.size() && head.substr(0, PROGRAM_MARK.size()) == PROGRAM_MARK;
}

// An open of a file someone else may hold (an oplock, a stalled device)
// counts against the thread's bounds as the reads do.
Result<platform::InputFile> open_bounded(const std::string& path) {
  const platform::BoundedCall bounded;
  return platform::InputFile::open(path);
}

void remove_bounded(const std::string& path) {
  const platform::BoundedCall bounded;
  (void)platform::remove_file(path);
}

}  // namespace

Result<std::string> file_sha256_hex(const std::string& path, std::uint64_t max_size) {
  auto file = open_bounded(path);
  if (!file) return fail(file.error());
  auto size = file->size();
  if (!size) return fail(size.error());
  if (*size > max_size) return fail(std::string(TOO_LARGE));
  auto hash = platform::Sha256::create();
  if (!hash) return fail(hash.error());
  const auto buf = std::make_unique<char[]>(BLOCK_SIZE);
  std::uint64_t total = 0;
  for (;;) {
    auto n = file->read(std::span<char>(buf.get(), BLOCK_SIZE));
    if (!n) return fail(n.error());
    if (*n == 0) break;
    total += *n;
    // A file that grows while it is read is held to the same limit.
    if (total > max_size) return fail(std::string(TOO_LARGE));
    OMBREL_TRY(hash->update(std::string_view(buf.get(), *n)));
  }
  auto digest = hash->finish();
  if (!digest) return fail(digest.error());
  return platform::to_hex(*digest);
}

bool same_digest(std::string_view expected, std::string_view actual) {
  while (!expected.empty() && is_space(expected.front())) expected.remove_prefix(1);
  while (!expected.empty() && is_space(expected.back())) expected.remove_suffix(1);
  if (expected.size() != actual.size()) return false;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (lower(expected[i]) != lower(actual[i])) return false;
  }
  return true;
}

Result<void> verify_offered_file(const std::string& path, std::string_view expected,
                                 std::string_view shown_path, std::uint64_t max_size) {
  {
    auto file = open_bounded(path);
    if (!file) return fail(not_a_program(shown_path));
    char head[8];
    auto n = file->read_full(std::span<char>(head, PROGRAM_MARK.size()));
    if (!n || !starts_with_mark(std::string_view(head, *n))) return fail(not_a_program(shown_path));
  }
  auto digest = file_sha256_hex(path, max_size);
  if (!digest) return fail(std::move(digest.error()).wrapped(cannot_read(shown_path)));
  if (!same_digest(expected, *digest)) {
    return fail("сумма " + std::string(shown_path) + " не сошлась");
  }
  return {};
}

Result<void> stage_offered_file(const std::string& offered, std::string_view expected,
                                const std::string& staged, const std::string& target,
                                std::uint64_t max_size, const OpenOfferedFn& open) {
  // The path comes from an unprivileged caller: nothing but an ordinary file
  // on this computer is even opened, and only as far as the caller may read it.
  if (!platform::is_local_file_path(offered)) return fail(offered + " - не локальный файл");
  auto source = [&] {
    // An open may wait on whatever holds the file (an oplock, a stalled
    // device): it is bounded as the reads are.
    const platform::BoundedCall bounded;
    return open ? open(offered) : platform::InputFile::open_local(offered);
  }();
  // Missing, not the caller's to read, a folder, a link on the way or a
  // share: one text, so that a caller learns nothing of files it could not
  // read itself. Why is for the service's log (`BoundedStaging`).
  if (!source) return fail(std::move(source.error()).wrapped(cannot_open(offered)));

  // The first piece is read whole, so that the mark is seen even when the
  // system hands out short reads; it is no larger than the limit allows.
  std::size_t first_want = BLOCK_SIZE;
  if (max_size < first_want) first_want = static_cast<std::size_t>(max_size) + 1;
  if (first_want < PROGRAM_MARK.size()) first_want = PROGRAM_MARK.size();
  const auto buf = std::make_unique<char[]>(BLOCK_SIZE);
  auto first = source->read_full(std::span<char>(buf.get(), first_want));
  if (!first || !starts_with_mark(std::string_view(buf.get(), *first))) {
    return fail(not_a_program(offered));
  }
  auto size = source->size();
  if (!size) return fail(std::move(size.error()).wrapped(cannot_read(offered)));
  if (*size > max_size) return fail(Error(std::string(TOO_LARGE)).wrapped(cannot_read(offered)));

  // A copy left by an interrupted run is never reused.
  remove_bounded(staged);
  bool complete = false;
  struct RemoveUnlessComplete {
    const std::string& path;
    const bool& complete;
    ~RemoveUnlessComplete() {
      if (!complete) remove_bounded(path);
    }
  } guard{staged, complete};

  // Nobody else may open it, so nobody can hold it while it is checked or
  // keep it from being removed.
  auto out = platform::File::create_private(staged);
  if (!out) return fail(std::move(out.error()).wrapped(cannot_install(target)));
  std::uint64_t total = *first;
  if (auto w = out->write_all(std::string_view(buf.get(), *first)); !w) {
    return fail(std::move(w.error()).wrapped(cannot_install(target)));
  }
  // Never more than one byte beyond the limit, however much the file grows
  // meanwhile: that byte is enough to know it is too large.
  while (*first == first_want && total <= max_size) {
    const std::uint64_t room = max_size + 1 - total;
    const std::size_t want = room < BLOCK_SIZE ? static_cast<std::size_t>(room) : BLOCK_SIZE;
    auto n = source->read(std::span<char>(buf.get(), want));
    if (!n) return fail(std::move(n.error()).wrapped(cannot_read(offered)));
    if (*n == 0) break;
    total += *n;
    if (auto w = out->write_all(std::string_view(buf.get(), *n)); !w) {
      return fail(std::move(w.error()).wrapped(cannot_install(target)));
    }
  }
  source->close();
  if (total > max_size) return fail(Error(std::string(TOO_LARGE)).wrapped(cannot_read(offered)));
  // On the disk before it can be renamed into place: a power loss must not
  // leave a torn executable under the installed name.
  if (auto s = out->sync(); !s) return fail(std::move(s.error()).wrapped(cannot_install(target)));
  out->close();

  OMBREL_TRY(verify_offered_file(staged, expected, offered, max_size));
  complete = true;
  return {};
}

}  // namespace ombrel::selfupdate
