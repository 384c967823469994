// Whose programs are installed, what they are, and who may offer them. The
// system's verdict on a signature is faked here from tags in the file's
// content ("|signed:NAME@AUTHORITY", "|broken", "|padded"), and its version
// resource likewise ("|is:NAME", "|v:A.B.C.D"); the real verdicts are tested
// with real signatures and resources in the platform and end-to-end tests.
#include <gtest/gtest.h>

#include <cctype>
#include <sstream>
#include <thread>

#include "update_fixture.hpp"

namespace ombrel::selfupdate::test {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view OWN_EXE = "own-service.exe";

// The text between `tag` and the next "|" or the end.
std::optional<std::string> tagged(const std::string& content, std::string_view tag) {
  const auto at = content.find(tag);
  if (at == std::string::npos) return std::nullopt;
  const auto from = at + tag.size();
  return content.substr(from, content.find('|', from) - from);
}

platform::Publisher publisher(const std::string& signer) {
  const auto at = signer.find('@');
  return {"Ombrel", signer.substr(0, at), at == std::string::npos ? "" : signer.substr(at + 1)};
}

struct SigningWorld : UpdateFixture {
  platform::ProgramSignature own{platform::SignatureState::Signed, publisher("cert A@ca"), false,
                                 0};
  std::vector<std::string> judged;  // paths whose signature was asked for

  SigningWorld() {
    deps.own_executable = []() -> Result<std::string> { return std::string(OWN_EXE); };
    deps.program_signature = [this](const std::string& path) -> Result<platform::ProgramSignature> {
      if (path == OWN_EXE) return own;
      judged.push_back(path);
      const std::string content = read(path).value_or("");
      if (content.ends_with("|broken")) {
        return platform::ProgramSignature{platform::SignatureState::Broken, {}, false, 1};
      }
      const auto signer = tagged(content, "|signed:");
      if (!signer) return platform::ProgramSignature{};
      return platform::ProgramSignature{platform::SignatureState::Signed, publisher(*signer),
                                        content.find("|padded") != std::string::npos, 0};
    };
  }
};

// A world that also asks builds what they are: the installed files are
// version 1.0.0.5 of themselves unless told otherwise.
struct VersionWorld : SigningWorld {
  std::string installed_desktop =
      "desktop v1|signed:cert A@ca|is:" + std::string(DESKTOP_EXE) + "|v:1.0.0.5";
  std::string installed_service =
      "service v1|signed:cert A@ca|is:" + std::string(SERVICE_EXE) + "|v:1.0.0.5";

  VersionWorld() {
    deps.program_version =
        [](const std::string& path) -> Result<std::optional<platform::ProgramVersion>> {
      const auto content = read(path);
      if (!content) return fail("нет файла");
      if (content->find("|held") != std::string::npos) return fail("файл занят");
      // Someone holds an oplock on it and lets go late.
      if (content->find("|slow") != std::string::npos) std::this_thread::sleep_for(400ms);
      const auto name = tagged(*content, "|is:");
      if (!name) return std::optional<platform::ProgramVersion>();
      platform::ProgramVersion version{*name, {}};
      std::istringstream parts(tagged(*content, "|v:").value_or("0.0.0.0"));
      for (auto& part : version.file_version) {
        parts >> part;
        parts.ignore(1);
      }
      return std::optional<platform::ProgramVersion>(version);
    };
  }

  UpdateFields offer_builds(std::string_view app_body, std::string_view service_body) {
    UpdateFields fields = offer(app_body, service_body);
    write(desktop, program(installed_desktop));
    write(service, program(installed_service));
    return fields;
  }
};

std::string text_of(const Result<UpdateOutcome>& result) {
  return result ? "success" : result.error().to_string();
}

// `text` with "{app}" and "{svc}" standing for the offered paths.
std::string with_paths(std::string text, const UpdateFields& u) {
  if (const auto at = text.find("{app}"); at != std::string::npos) text.replace(at, 5, u.app_path);
  if (const auto at = text.find("{svc}"); at != std::string::npos) {
    text.replace(at, 5, u.service_path);
  }
  return text;
}

TEST(UpdateSigner, OnlyProgramsOfTheServicesOwnSignerAreInstalled) {
  const std::string not_taken =
      std::string(OWN_EXE) + " - без действительной подписи, обновления не принимаются";
  struct Case {
    const char* name;
    const char* app;
    const char* service;
    std::string text;  // "success" when accepted
    std::function<void(SigningWorld&, UpdateFields&)> tweak = {};
  };
  const Case cases[] = {
      {"both by our certificate", "app|signed:cert A@ca", "svc|signed:cert A@ca", "success"},
      {"the application unsigned", "app", "svc|signed:cert A@ca", "{app} - без подписи"},
      {"the application changed after signing", "app|broken", "svc|signed:cert A@ca",
       "подпись {app} не сошлась"},
      {"the application by another certificate", "app|signed:cert B@ca", "svc|signed:cert A@ca",
       "{app} - подписан чужим сертификатом"},
      {"another name that merely begins the same", "app|signed:cert A2@ca", "svc|signed:cert A@ca",
       "{app} - подписан чужим сертификатом"},
      {"the service unsigned", "app|signed:cert A@ca", "svc", "{svc} - без подписи"},
      {"the service by another certificate", "app|signed:cert A@ca", "svc|signed:cert B@ca",
       "{svc} - подписан чужим сертификатом"},
      {"the same name from another authority", "app|signed:cert A@other", "svc|signed:cert A@ca",
       "{app} - подписан чужим сертификатом"},
      {"data after the signature", "app|signed:cert A@ca", "svc|signed:cert A@ca|padded",
       "{svc} - лишние данные после подписи"},
      // The sums are checked before any signature is asked for.
      {"a sum that does not match", "app", "svc", "сумма {svc} не сошлась",
       [](SigningWorld&, UpdateFields& u) { u.service_sha256 = u.app_sha256; }},
      {"the running service's own file does not answer", "app|signed:cert A@ca",
       "svc|signed:cert A@ca",
       "не проверить подпись " + std::string(OWN_EXE) + ": " + std::string(OWN_EXE) +
           " не ответил за 200 мс",
       [](SigningWorld& w, UpdateFields&) {
         w.deps.staging_stall = 200ms;
         w.deps.program_signature = [&w](const std::string& path) {
           if (path == OWN_EXE) std::this_thread::sleep_for(400ms);
           return Result<platform::ProgramSignature>(w.own);
         };
       }},
      {"a signature that cannot be read", "app|signed:cert A@ca", "svc|signed:cert A@ca",
       "не проверить подпись " + std::string(OWN_EXE) + ": нет доступа",
       [](SigningWorld& w, UpdateFields&) {
         w.deps.program_signature = [](const std::string&) -> Result<platform::ProgramSignature> {
           return fail("нет доступа");
         };
       }},
      // An unsigned service takes no update unless built to do so; a signed
      // development variant is as strict as the product.
      {"the running service unsigned", "app|signed:cert A@ca", "svc|signed:cert A@ca", not_taken,
       [](SigningWorld& w, UpdateFields&) {
         w.own = {platform::SignatureState::Unsigned, {}, false, 1};
       }},
      {"the running service's signature broken", "app|signed:cert A@ca", "svc|signed:cert A@ca",
       not_taken,
       [](SigningWorld& w, UpdateFields&) {
         w.own = {platform::SignatureState::Broken, {}, false, 1};
       }},
      {"the unsigned development variant", "app", "svc", "success",
       [](SigningWorld& w, UpdateFields&) {
         w.own = {platform::SignatureState::Unsigned, {}, false, 1};
         w.deps.unsigned_updates_allowed = true;
       }},
      {"a signed development variant", "app", "svc|signed:cert A@ca", "{app} - без подписи",
       [](SigningWorld& w, UpdateFields&) { w.deps.unsigned_updates_allowed = true; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SigningWorld w;
    UpdateFields fields = w.offer(c.app, c.service);
    if (c.tweak) c.tweak(w, fields);
    const auto before = snapshot(w.install.path());
    const auto outcome = stage_update(fields, w.deps);
    EXPECT_EQ(text_of(outcome), with_paths(c.text, fields));
    if (outcome) {
      EXPECT_EQ(read(w.desktop), program(c.app));
      EXPECT_EQ(read(w.service), program(c.service));
    } else {
      EXPECT_EQ(snapshot(w.install.path()), before);
    }
    if (c.text.starts_with("сумма")) {
      EXPECT_TRUE(w.judged.empty());
    }
    // Judged on the staged copies in the installation folder, never on the
    // caller's files, which may change at any moment.
    for (const auto& path : w.judged) {
      EXPECT_TRUE(path.starts_with(w.install.path())) << path;
      EXPECT_NE(path, fields.app_path);
    }
  }
}

TEST(UpdateBuild, OnlyANewerBuildOfTheSameFileIsInstalled) {
  const std::string ours = "|signed:cert A@ca";
  const std::string desktop_is = "|is:" + std::string(DESKTOP_EXE);
  const std::string service_is = "|is:" + std::string(SERVICE_EXE);
  std::string shouting = service_is;
  for (char& c : shouting) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string installed_service_is = "service v1" + ours + service_is + "|v:1.0.0.5";
  const std::string app2 = ours + desktop_is + "|v:1.0.0.6";
  const std::string svc2 = ours + service_is + "|v:1.1.0.0";
  struct Case {
    const char* name;
    std::string app;                     // offered, after "app"
    std::string service;                 // offered, after "svc"
    std::string text;                    // "success" when accepted
    std::string installed_service = {};  // when not version 1.0.0.5 of itself
  };
  const Case cases[] = {
      {"newer builds of both", app2, svc2, "success"},
      {"the name in another case", app2, ours + "|is:" + shouting.substr(4) + "|v:2.0.0.0",
       "success"},
      {"the desktop application offered as the service", app2, app2,
       "{svc} - не " + std::string(SERVICE_EXE)},
      {"the service offered as the desktop application", svc2, svc2,
       "{app} - не " + std::string(DESKTOP_EXE)},
      {"a build without a version resource", app2, ours, "{svc} - не " + std::string(SERVICE_EXE)},
      {"the same version", app2, ours + service_is + "|v:1.0.0.5",
       "{svc} - версия 1.0.0.5 не новее установленной 1.0.0.5"},
      {"an older version, newer in a later part", ours + desktop_is + "|v:0.9.9.9", svc2,
       "{app} - версия 0.9.9.9 не новее установленной 1.0.0.5"},
      {"an installed service from before versions", app2, ours + service_is + "|v:0.0.0.1",
       "success", "service v1" + ours},
      // Someone holding the installed file open is no build from before versions.
      {"an installed service that cannot be read", app2, ours + service_is + "|v:0.0.0.1",
       "не проверить версию {installed}: файл занят", "service v1" + ours + "|held"},
      {"an installed service that does not answer", app2, svc2,
       "не проверить версию {installed}: {installed} не ответил за 200 мс",
       installed_service_is + "|slow"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VersionWorld w;
    if (!c.installed_service.empty()) w.installed_service = c.installed_service;
    if (c.installed_service.ends_with("|slow")) w.deps.staging_stall = 200ms;
    const UpdateFields fields = w.offer_builds("app" + c.app, "svc" + c.service);
    const auto before = snapshot(w.install.path());
    const auto outcome = stage_update(fields, w.deps);
    std::string text = with_paths(c.text, fields);
    for (auto at = text.find("{installed}"); at != std::string::npos;
         at = text.find("{installed}")) {
      text.replace(at, 11, w.service);
    }
    EXPECT_EQ(text_of(outcome), text);
    if (!outcome) {
      EXPECT_EQ(snapshot(w.install.path()), before);
    }
  }
}

TEST(UpdateBuild, AnOfferEqualToTheInstalledFileIsAlreadyCurrentWhateverItsVersion) {
  VersionWorld w;
  w.installed_service = "service v1|signed:cert A@ca";  // no version resource
  UpdateFields fields =
      w.offer_builds("app|signed:cert A@ca|is:" + std::string(DESKTOP_EXE) + "|v:1.0.0.6", "");
  write(fields.service_path, program(w.installed_service));
  fields.service_sha256 = digest_of(program(w.installed_service));
  const auto outcome = stage_update(fields, w.deps);
  ASSERT_TRUE(outcome) << outcome.error().to_string();
  EXPECT_EQ(*outcome, (UpdateOutcome{true, false}));
  // And with both equal: nothing to do, nothing refused.
  fields = w.offer_builds("", "");
  write(fields.app_path, read(w.desktop).value());
  write(fields.service_path, read(w.service).value());
  fields.app_sha256 = digest_of(read(w.desktop).value());
  fields.service_sha256 = digest_of(read(w.service).value());
  EXPECT_EQ(text_of(stage_update(fields, w.deps)), "success");
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
