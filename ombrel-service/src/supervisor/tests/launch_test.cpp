#include "supervisor/launch.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include "core_folders.hpp"
#include "exit_order.hpp"
#include "oplock.hpp"
#include "platform/files/paths.hpp"
#include "platform/trust/install_folder.hpp"
#include "testsupport.hpp"

namespace ombrel::supervisor {
namespace {

using namespace ombrel::supervisor::testing;

// Larger than any pipe buffer, so that the write returns only once the core
// has read most of it (and so has started and been counted).
std::string big_document() {
  std::string doc = "{\n  \"log\": \"Привет\",\n  \"pad\": \"";
  while (doc.size() < 1'200'000) doc += "0123456789абвгд\t";
  doc += "\"\n}";
  return doc;
}

std::vector<std::uint32_t> recorded_pids(const std::string& exe) {
  std::vector<std::uint32_t> pids;
  std::istringstream lines(read_record(exe, ".runs").value_or(""));
  for (std::string line; std::getline(lines, line);) pids.push_back(std::stoul(line));
  return pids;
}

void write_text(const std::string& path, std::string_view text) {
  ASSERT_TRUE(platform::replace_file_atomically(path, path + ".tmp", text));
}

TEST(LocateCore, NamesTheMissingFileAndItsFullPath) {
  CoreFolders f;
  EXPECT_EQ(locate_core(PROXY_CORE_FILE, f.env()), f.install.xray);
  std::filesystem::remove(fs_path(f.install.xray));
  const auto missing = locate_core(PROXY_CORE_FILE, f.env());
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().chain(),
            std::vector<std::string>{"рядом со службой нет " + std::string(PROXY_CORE_FILE) + ": " +
                                     f.install.xray});

  // By default the cores lie next to the running executable; the test
  // binaries' folder holds only the stand-ins under their own names.
  const std::string own_dir = platform::parent_path(*platform::current_exe_path());
  const auto next_to_us = locate_core(TUNNEL_CORE_FILE);
  ASSERT_FALSE(next_to_us);
  EXPECT_EQ(next_to_us.error().to_string(), "рядом со службой нет " +
                                                std::string(TUNNEL_CORE_FILE) + ": " +
                                                platform::join_path(own_dir, TUNNEL_CORE_FILE));
}

// A start that fails leaves nothing running and rotates no log. Both cores
// start together once "tunnel.json" is written, so a missing core stops the
// start before anything runs or is written.
TEST(StartCores, FailedStartsLeaveNothingBehind) {
  using Folders = const CoreFolders&;
  // Calls on `path` wait past their bound of 100 ms.
  const auto stall = [](CoreEnvironment& env, const std::string& path) {
    env.file_stall = std::chrono::milliseconds(100);
    env.at_file = [path](const std::string& p) {
      if (p == path) std::this_thread::sleep_for(std::chrono::milliseconds(150));
    };
  };
  const auto missing = [](std::string_view file, const std::string& path) {
    std::filesystem::remove(fs_path(path));
    return "рядом со службой нет " + std::string(file) + ": " + path;
  };
  const auto not_a_program = [](const std::string& path) {
    write_text(path, "not a program");
    return "не удалось запустить " + path;
  };
  enum class Ports { Free, Taken, Unknown };       // what the listener table answers
  enum class XrayRan { Never, Once, AtMostOnce };  // and then ended
  struct Case {
    const char* name;
    bool tunnel;
    // Makes the fault; returns the start's outermost message.
    std::function<std::string(Folders f, CoreEnvironment& env)> fault;
    Ports ports;
    bool has_cause;  // the system's reason kept below the message
    XrayRan xray;
    bool document_written;  // "tunnel.json"
    // The message below the outermost, where it tells faults apart.
    std::function<std::string(Folders f)> cause = {};
  };
  const auto no_xray = [&](Folders f, CoreEnvironment&) {
    return missing(PROXY_CORE_FILE, f.install.xray);
  };
  const auto port_taken = [](std::string port) {
    return [port](Folders, CoreEnvironment&) {
      return "порт 127.0.0.1:" + port + " занят другим процессом (4242)";
    };
  };
  const Case cases[] = {
      {"xray missing, proxy only", false, no_xray, Ports::Free, false, XrayRan::Never, false},
      {"xray missing, tunnel", true, no_xray, Ports::Free, false, XrayRan::Never, false},
      {"sing-box missing", true,
       [&](Folders f, CoreEnvironment&) { return missing(TUNNEL_CORE_FILE, f.install.sing_box); },
       Ports::Free, false, XrayRan::Never, false},
      // Creation and delivery failures keep the system's reason below.
      {"xray not a program", true,
       [&](Folders f, CoreEnvironment&) { return not_a_program(f.install.xray); }, Ports::Free,
       true, XrayRan::Never, true},
      // Ended as soon as sing-box fails, xray may not have run far enough to
      // record itself.
      {"sing-box not a program", true,
       [&](Folders f, CoreEnvironment&) { return not_a_program(f.install.sing_box); }, Ports::Free,
       true, XrayRan::AtMostOnce, true},
      {"xray reads no document", false,
       [](Folders f, CoreEnvironment&) {
         // A program that ends without reading its input.
         install_standin(f.install.path(), Standin::Desktop, std::string(PROXY_CORE_FILE));
         set_script(f.install.xray, "exit 0");
         return std::string("не удалось передать конфиг ядру");
       },
       Ports::Free, true, XrayRan::Once, false},
      // Files others may hold with an oplock: the start fails, naming the
      // file, once a call on it has waited past its bound.
      {"tunnel.json does not answer", true,
       [&](Folders f, CoreEnvironment& env) {
         stall(env, f.tunnel_document());
         return f.tunnel_document() + " не ответил за 100 мс";
       },
       Ports::Free, false, XrayRan::Never, false},
      {"sing-box's image does not answer", true,
       [&](Folders f, CoreEnvironment& env) {
         stall(env, f.install.sing_box);
         return f.install.sing_box + " не ответил за 100 мс";
       },
       Ports::Free, false, XrayRan::Never, true},
      // Checked before anything is made or written.
      {"a proxy-only port held by another process", false, port_taken("10809"), Ports::Taken, false,
       XrayRan::Never, false},
      {"the tunnel's port held by another process", true, port_taken("10820"), Ports::Taken, false,
       XrayRan::Never, false},
      {"listeners not known", true,
       [](Folders, CoreEnvironment&) { return std::string("не проверить порты 127.0.0.1"); },
       Ports::Unknown, true, XrayRan::Never, false},
      // Whoever may change a core or its folder would have their program
      // run as the service: nothing starts, judged through the held images.
      {"the cores' folder others may change", true,
       [](Folders f, CoreEnvironment&) {
         set_folder_rights(f.install.path(), Rights::EveryoneChanges);
         return "не удалось запустить " + f.install.xray;
       },
       Ports::Free, true, XrayRan::Never, true,
       [](Folders f) {
         return std::string(platform::UNSAFE_INSTALL_FOLDER) +
                platform::parent_path(*platform::canonical_path(f.install.xray));
       }},
      {"sing-box's image others may change", true,
       [](Folders f, CoreEnvironment&) {
         set_folder_rights(f.install.sing_box, Rights::EveryoneChanges);
         return "не удалось запустить " + f.install.sing_box;
       },
       Ports::Free, true, XrayRan::Never, true,
       [](Folders) {
         return std::string("файл ядра доступен на запись не только администраторам");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CoreFolders f;
    write_text(f.tunnel_log(), "earlier run\n");
    CoreEnvironment env = f.env();
    const std::string expected = c.fault(f, env);
    CoreLaunch launch = c.tunnel ? tunnel_launch() : proxy_launch();
    launch.xray_config = big_document();
    std::vector<std::uint16_t> asked;
    env.listeners =
        [&](std::span<const std::uint16_t> ports) -> Result<std::vector<platform::PortListener>> {
      asked.assign(ports.begin(), ports.end());
      if (c.ports == Ports::Unknown) return fail("no table");
      if (c.ports == Ports::Free) return std::vector<platform::PortListener>{};
      return std::vector<platform::PortListener>{{ports.back(), 4242}};
    };

    const auto started = start_cores(launch, env);
    if (c.ports != Ports::Free) {
      EXPECT_EQ(asked, launch.local_ports);
    }
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error().outermost(), expected);
    EXPECT_EQ(started.error().chain().size(), c.has_cause ? 2u : 1u) << started.error().to_string();
    if (c.cause && started.error().chain().size() > 1) {
      EXPECT_EQ(started.error().chain()[1], c.cause(f));
    }

    const auto xray_pids = recorded_pids(f.install.xray);
    if (c.xray == XrayRan::AtMostOnce) {
      EXPECT_LE(xray_pids.size(), 1u);
    } else {
      EXPECT_EQ(xray_pids.size(), c.xray == XrayRan::Once ? 1u : 0u);
    }
    EXPECT_TRUE(all_gone(xray_pids));
    EXPECT_EQ(run_count(f.install.sing_box), 0);
    EXPECT_EQ(platform::path_exists(f.tunnel_document()), c.document_written);
    EXPECT_EQ(read_or_empty(f.tunnel_log()), "earlier run\n");
    EXPECT_FALSE(platform::path_exists(f.tunnel_prev_log()));
  }
}

TEST(StartCores, ProxyOnlyRunsTheProxyCoreWithItsDocumentOnStandardInput) {
  CoreFolders f;
  write_text(f.tunnel_document(), "earlier document");
  write_text(f.tunnel_log(), "earlier run\n");
  set_script(f.install.xray,
             "print 2024/05/01 12:00:00 from 127.0.0.1:50000 accepted tcp:example.com:443 "
             "[socks-in -> p1]\nstay\n");
  CoreLaunch launch = proxy_launch();
  launch.xray_config = big_document();

  auto cores = start_cores(launch, f.env());
  ASSERT_TRUE(cores) << cores.error().to_string();
  EXPECT_FALSE(cores->singbox);
  EXPECT_EQ(cores->display_label, launch.display_label);
  EXPECT_EQ(cores->channel_labels, launch.channel_labels);
  EXPECT_EQ(cores->channel_remarks, launch.channel_remarks);
  EXPECT_EQ(cores->proxy_port, launch.proxy_port);
  EXPECT_LE(cores->started_at, std::chrono::steady_clock::now());
  ASSERT_TRUE(cores->current_channel);

  const auto delivered = wait_for_record(f.install.xray, ".stdin");
  ASSERT_TRUE(delivered);
  EXPECT_TRUE(*delivered == launch.xray_config)
      << delivered->size() << " bytes arrived of " << launch.xray_config.size();
  EXPECT_EQ(recorded_args(f.install.xray), (std::vector<std::string>{"run", "-c", "stdin:"}));
  // The watcher sees the routed connection and names the channels by their
  // whole remarks.
  EXPECT_TRUE(wait_until([&] { return cores->current_channel->load() == 1; }));
  const std::string core_log = f.data_file(serving::CORE_LOG_FILE);
  EXPECT_TRUE(wait_until([&] {
    return read_or_empty(core_log).starts_with(
        "--- какой канал под каким номером:\n    p0 = Германия app_de1\n"
        "    p1 = Финляндия app_fi2\n");
  }));

  EXPECT_EQ(run_count(f.install.sing_box), 0);
  EXPECT_EQ(read_or_empty(f.tunnel_document()), "earlier document");
  EXPECT_EQ(read_or_empty(f.tunnel_log()), "earlier run\n");
  EXPECT_FALSE(platform::path_exists(f.tunnel_prev_log()));

  const auto pids = pids_of(*cores);
  EXPECT_TRUE(is_running(pids[0]));
  stop_cores(std::move(*cores));
  EXPECT_TRUE(all_gone(pids));
}

// The proxy core's own account is a hardening that never costs the tunnel:
// a core its account cannot start is started as the service in the same
// start, and that is said once for the run, and the rest of the run starts
// it as the service without trying again. Wine logs no LocalService on;
// on Windows as the system account the first core ends in its start with a
// loader status, before any output, as one whose account may not read a
// library would. Linux never falls back.
TEST(StartCores, AProxyCoreItsAccountCannotStartRunsAsTheServiceSaidOncePerRun) {
  // Windows makes the account only for SYSTEM, as the service runs; the
  // runner's administrator would see only the refusal Wine shows.
  OMBREL_SYSTEM_ACCOUNT_ONLY("LocalService is logged on by SYSTEM");
  CoreFolders f;
  CoreAccountFallback run;
  std::vector<std::string> said;
  run.say = [&](const std::string& line) { said.push_back(line); };
  CoreEnvironment env = f.env();
  env.account_fallback = &run;
  const bool falls_back = platform::ended_for_want_of_rights(static_cast<int>(0xC0000135u));
  set_script(f.install.xray, 1, "exit -1073741515");
  bool own_account_tried = false;
  for (int start = 1; start <= 2; ++start) {
    SCOPED_TRACE(start);
    auto cores = start_cores(proxy_launch(), env);
    ASSERT_TRUE(cores) << cores.error().to_string();
    if (start == 1) {
      own_account_tried = cores->xray.unprivileged_account_used();
      // Judged when the ended core is dropped.
      EXPECT_TRUE(wait_until([&] {
        const auto ended = cores->xray.try_wait();
        return ended && ended->has_value();
      }));
    } else {
      EXPECT_FALSE(cores->xray.unprivileged_account_used());
      EXPECT_TRUE(wait_until([&] { return run_count(f.install.xray) == 2; }));
    }
  }
  if (!falls_back) {
    EXPECT_TRUE(said.empty());
    return;
  }
  ASSERT_EQ(said.size(), 1u);
  EXPECT_TRUE(said[0].starts_with("ядро прокси запущено от имени службы: ")) << said[0];
  if (own_account_tried) {
    EXPECT_EQ(said[0],
              "ядро прокси запущено от имени службы: ядро завершилось при запуске с кодом "
              "0xC0000135");
  }
}

TEST(StartCores, FreshStartHasNoChannelInUse) {
  CoreFolders f;
  auto cores = start_cores(proxy_launch(), f.env());
  ASSERT_TRUE(cores) << cores.error().to_string();
  EXPECT_EQ(cores->current_channel->load(), serving::NO_CHANNEL);
}

TEST(StartCores, TunnelModeWritesTheDocumentAndCopiesBothStreamsIntoARotatedLog) {
  CoreFolders f;
  set_script(f.install.sing_box, 1,
             "print out one\\r\nprint out\\rmid\neprint err one\\r\nprint last\nstay\n");
  set_script(f.install.sing_box, 2, "eprint second run\nstay\n");
  const CoreLaunch launch = tunnel_launch();

  auto first = start_cores(launch, f.env());
  ASSERT_TRUE(first) << first.error().to_string();
  ASSERT_TRUE(first->singbox);
  EXPECT_EQ(read_or_empty(f.tunnel_document()), *launch.singbox_config);
  ASSERT_TRUE(wait_for_record(f.install.sing_box, ".args"));
  EXPECT_EQ(recorded_args(f.install.sing_box),
            (std::vector<std::string>{"run", "-c", f.tunnel_document(), "--disable-color"}));
  EXPECT_EQ(wait_for_record(f.install.xray, ".stdin"), launch.xray_config);

  // Lines of both streams arrive whole, in any order between the streams;
  // a carriage return before the line feed is dropped, one inside is shown
  // as an escape.
  std::string log;
  EXPECT_TRUE(wait_until([&] {
    log = read_or_empty(f.tunnel_log());
    return std::count(log.begin(), log.end(), '\n') == 4;
  })) << log;
  for (const char* line : {"out one\n", "out\\rmid\n", "err one\n", "last\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(log.find("\r\n"), std::string::npos);
  EXPECT_LT(log.find("out one\n"), log.find("last\n"));

  stop_cores(std::move(*first));
  auto second = start_cores(launch, f.env());
  ASSERT_TRUE(second) << second.error().to_string();
  EXPECT_TRUE(wait_until([&] { return read_or_empty(f.tunnel_log()) == "second run\n"; }));
  EXPECT_EQ(read_or_empty(f.tunnel_prev_log()), log);
}

// Any user who may read "tunnel.json" may hold an oplock on it. The start
// runs under the state lock, so it must not wait for the holder.
TEST(StartCores, AnOplockHeldOnTheTunnelDocumentFailsTheStartInTime) {
  OMBREL_REAL_WINDOWS_ONLY("Wine grants no oplocks");
  CoreFolders f;
  // "tunnel.json" as an earlier run leaves it, in the folder as the service
  // keeps it; the cores of that run end as the handle is dropped.
  ASSERT_TRUE(start_cores(tunnel_launch(), f.env()));
  const int xray_runs = run_count(f.install.xray);
  const int sing_box_runs = run_count(f.install.sing_box);
  const auto held = testsupport::HeldOplock::take(f.tunnel_document());
  ASSERT_TRUE(held);
  CoreEnvironment env = f.env();
  env.file_stall = std::chrono::milliseconds(500);
  const auto began = std::chrono::steady_clock::now();
  const auto started = start_cores(tunnel_launch(), env);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().outermost(), f.tunnel_document() + " не ответил за 500 мс");
  EXPECT_EQ(run_count(f.install.xray), xray_runs);
  EXPECT_EQ(run_count(f.install.sing_box), sing_box_runs);
}

TEST(StartCores, TunnelLogStopsAtItsCapWhileTheOutputIsStillDrained) {
  CoreFolders f;
  // 100-byte lines, far more than the cap and than any pipe buffer.
  set_script(f.install.sing_box, "repeat 4000 " + std::string(99, 'x') + "\nprint after\nexit 7\n");
  auto cores = start_cores(tunnel_launch(), f.env());
  ASSERT_TRUE(cores) << cores.error().to_string();

  // The core can end only if every byte it wrote was read.
  std::optional<int> code;
  EXPECT_TRUE(wait_until([&] {
    auto polled = cores->singbox->try_wait();
    return polled && (code = *polled).has_value();
  }));
  EXPECT_EQ(code, 7);
  // Lines go in while the file holds at most 262,143 bytes: 2,622 of them.
  EXPECT_TRUE(
      wait_until([&] { return platform::file_size(f.tunnel_log()).value_or(0) >= 262'200; }));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(platform::file_size(f.tunnel_log()).value_or(0), 262'200u);
  EXPECT_EQ(read_or_empty(f.tunnel_log()).find("after"), std::string::npos);
}

TEST(StopCores, EndsTheTunnelCoreFirst) {
  CoreFolders f;
  auto cores = start_cores(tunnel_launch(), f.env());
  ASSERT_TRUE(cores) << cores.error().to_string();
  const std::uint32_t xray = cores->xray.pid();
  const std::uint32_t singbox = cores->singbox->pid();
  ExitOrder exits({singbox, xray});
  stop_cores(std::move(*cores));
  EXPECT_EQ(exits.order(10s), (std::vector<std::uint32_t>{singbox, xray}));
}

TEST(RunningCores, ReplacingOrDroppingAHandleEndsItsCores) {
  CoreFolders f;
  auto first = start_cores(tunnel_launch(), f.env());
  auto second = start_cores(tunnel_launch(), f.env());
  ASSERT_TRUE(first && second);
  const auto old_pids = pids_of(*first);
  const auto new_pids = pids_of(*second);
  {
    ExitOrder exits({old_pids[1], old_pids[0]});
    *first = std::move(*second);
    EXPECT_EQ(exits.order(10s), (std::vector<std::uint32_t>{old_pids[1], old_pids[0]}));
  }
  EXPECT_TRUE(all_gone(old_pids));
  EXPECT_EQ(pids_of(*first), new_pids);
  EXPECT_TRUE(is_running(new_pids[0]) && is_running(new_pids[1]));
  {
    ExitOrder exits({new_pids[1], new_pids[0]});
    { RunningCores dropped = std::move(*first); }
    EXPECT_EQ(exits.order(10s), (std::vector<std::uint32_t>{new_pids[1], new_pids[0]}));
  }
}

}  // namespace
}  // namespace ombrel::supervisor
