// Whose programs are installed, and who may offer them. The system's
// verdict on a signature is faked here from a tag in the file's content
// ("|signed:NAME", "|broken"); the real verdicts are tested with real
// signatures in the platform and end-to-end tests.
#include <gtest/gtest.h>

#include "update_fixture.hpp"

namespace ombrel::selfupdate::test {
namespace {

constexpr std::string_view OWN_EXE = "own-service.exe";

struct SigningWorld : UpdateFixture {
  platform::ProgramSignature own{platform::SignatureState::Signed, "cert A", 0};
  std::vector<std::string> judged;  // paths whose signature was asked for

  SigningWorld() {
    deps.own_executable = []() -> Result<std::string> { return std::string(OWN_EXE); };
    deps.program_signature = [this](const std::string& path) -> Result<platform::ProgramSignature> {
      if (path == OWN_EXE) return own;
      judged.push_back(path);
      const std::string content = read(path).value_or("");
      if (content.ends_with("|broken")) {
        return platform::ProgramSignature{platform::SignatureState::Broken, "", 1};
      }
      const auto tag = content.find("|signed:");
      if (tag == std::string::npos) return platform::ProgramSignature{};
      return platform::ProgramSignature{platform::SignatureState::Signed, content.substr(tag + 8),
                                        0};
    };
  }
};

std::string text_of(const Result<UpdateOutcome>& result) {
  return result ? "success" : result.error().to_string();
}

TEST(UpdateSigner, OnlyProgramsOfTheServicesOwnSignerAreInstalled) {
  struct Case {
    const char* name;
    const char* app;
    const char* service;
    std::function<std::string(const UpdateFields&)> text;  // "success" when accepted
  };
  const Case cases[] = {
      {"both by our certificate", "app|signed:cert A", "svc|signed:cert A",
       [](const UpdateFields&) { return std::string("success"); }},
      {"the application unsigned", "app", "svc|signed:cert A",
       [](const UpdateFields& u) { return u.app_path + " - без подписи"; }},
      {"the application changed after signing", "app|broken", "svc|signed:cert A",
       [](const UpdateFields& u) { return "подпись " + u.app_path + " не сошлась"; }},
      {"the application by another certificate", "app|signed:cert B", "svc|signed:cert A",
       [](const UpdateFields& u) { return u.app_path + " - подписан чужим сертификатом"; }},
      {"another certificate that merely begins the same", "app|signed:cert A2", "svc|signed:cert A",
       [](const UpdateFields& u) { return u.app_path + " - подписан чужим сертификатом"; }},
      {"the service unsigned", "app|signed:cert A", "svc",
       [](const UpdateFields& u) { return u.service_path + " - без подписи"; }},
      {"the service by another certificate", "app|signed:cert A", "svc|signed:cert B",
       [](const UpdateFields& u) { return u.service_path + " - подписан чужим сертификатом"; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SigningWorld w;
    const UpdateFields fields = w.offer(c.app, c.service);
    const auto before = snapshot(w.install.path());
    const auto outcome = stage_update(fields, w.deps);
    EXPECT_EQ(text_of(outcome), c.text(fields));
    if (outcome) {
      EXPECT_EQ(read(w.desktop), program(c.app));
      EXPECT_EQ(read(w.service), program(c.service));
    } else {
      EXPECT_EQ(snapshot(w.install.path()), before);
    }
    // Judged on the staged copies in the installation folder, never on the
    // caller's files, which may change at any moment.
    for (const auto& path : w.judged) {
      EXPECT_TRUE(path.starts_with(w.install.path())) << path;
      EXPECT_NE(path, fields.app_path);
    }
  }
}

TEST(UpdateSigner, TheDigestsAreCheckedFirst) {
  SigningWorld w;
  UpdateFields fields = w.offer("app", "svc");  // both unsigned
  fields.service_sha256 = fields.app_sha256;
  EXPECT_EQ(text_of(stage_update(fields, w.deps)), "сумма " + fields.service_path + " не сошлась");
  EXPECT_TRUE(w.judged.empty());
}

TEST(UpdateSigner, AnUnsignedServiceTakesNoUpdateUnlessBuiltToDoSo) {
  struct Case {
    const char* name;
    platform::SignatureState own;
    bool allowed;
    bool accepted;
  };
  const Case cases[] = {
      {"unsigned", platform::SignatureState::Unsigned, false, false},
      {"broken", platform::SignatureState::Broken, false, false},
      {"unsigned, development variant", platform::SignatureState::Unsigned, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SigningWorld w;
    w.own = platform::ProgramSignature{c.own, "", 1};
    w.deps.unsigned_updates_allowed = c.allowed;
    const UpdateFields fields = w.offer("app", "svc");
    const auto before = snapshot(w.install.path());
    const auto outcome = stage_update(fields, w.deps);
    if (c.accepted) {
      EXPECT_EQ(text_of(outcome), "success");
    } else {
      EXPECT_EQ(text_of(outcome),
                std::string(OWN_EXE) + " - без действительной подписи, обновления не принимаются");
      EXPECT_EQ(snapshot(w.install.path()), before);
    }
  }
  // A signed development variant is as strict as the product.
  SigningWorld w;
  w.deps.unsigned_updates_allowed = true;
  const UpdateFields fields = w.offer("app", "svc|signed:cert A");
  EXPECT_EQ(text_of(stage_update(fields, w.deps)), fields.app_path + " - без подписи");
}

TEST(UpdateSigner, ASignatureThatCannotBeReadRefusesTheUpdate) {
  SigningWorld w;
  const UpdateFields fields = w.offer("app|signed:cert A", "svc|signed:cert A");
  w.deps.program_signature = [](const std::string&) -> Result<platform::ProgramSignature> {
    return fail("нет доступа");
  };
  EXPECT_EQ(text_of(stage_update(fields, w.deps)),
            "не проверить подпись " + std::string(OWN_EXE) + ": нет доступа");
}

TEST(UpdateCaller, OnlyRootMayOfferAnUpdateWhereTheChannelTellsWhoAsks) {
  struct Case {
    const char* name;
    bool root_only;
    std::optional<std::uint32_t> uid;
    bool accepted;
  };
  const Case cases[] = {
      {"root", true, 0u, true},
      {"an ordinary user", true, 1000u, false},
      {"nobody", true, 65534u, false},
      {"a caller the system could not name", true, std::nullopt, false},
      {"where callers are not told apart", false, std::nullopt, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateFixture f;
    f.deps.root_callers_only = c.root_only;
    UpdateFields fields = f.offer();
    fields.caller_uid = c.uid;
    if (!c.accepted) {
      // Refused before any file is opened: the offered files are not even there.
      fields.app_path = f.offered.file("absent");
    }
    const auto before = snapshot(f.install.path());
    const auto decision = handle_update(fields, f.deps);
    if (c.accepted) {
      EXPECT_TRUE(std::holds_alternative<UpdateAccepted>(decision));
    } else {
      ASSERT_TRUE(std::holds_alternative<UpdateFailed>(decision));
      EXPECT_EQ(std::get<UpdateFailed>(decision).text, "обновление доступно только root");
      EXPECT_EQ(f.lines, std::vector<std::string>{
                             "обновление не поставлено: обновление доступно только root\n"});
      EXPECT_EQ(snapshot(f.install.path()), before);
    }
  }
}

}  // namespace
}  // namespace ombrel::selfupdate::test
