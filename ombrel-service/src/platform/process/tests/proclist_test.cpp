#include "platform/process/proclist.hpp"

#include <gtest/gtest.h>

#include "platform/files/paths.hpp"
#include "platform/process/process.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

using namespace ombrel::testsupport;

std::optional<ProcessEntry> find_entry(std::uint32_t pid) {
  auto all = list_processes();
  if (!all) return std::nullopt;
  for (const auto& p : *all) {
    if (p.pid == pid) return p;
  }
  return std::nullopt;
}

TEST(ProcessList, FindsAStartedProgramWithItsImage) {
  InstallDir dir("список процессов");
  auto p = spawn(SpawnOptions{dir.xray, {}, std::nullopt, Stdio::Null, Stdio::Null, Stdio::Null});
  ASSERT_TRUE(p) << p.error().to_string();
  ASSERT_TRUE(wait_until([&] { return run_count(dir.xray) == 1; }));

  const auto entry = find_entry(p->pid());
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->exe_name, exe_name("xray"));
  auto image = process_image_path(p->pid());
  ASSERT_TRUE(image) << image.error().to_string();
  EXPECT_TRUE(
      same_path(canonical_path(*image).value_or("?"), canonical_path(dir.xray).value_or("")))
      << *image;

  ASSERT_TRUE(terminate_process(p->pid(), 9));
  auto code = p->wait();  // ended by terminate_process above
  ASSERT_TRUE(code);
#ifdef _WIN32
  EXPECT_EQ(*code, 9);
#endif
}

TEST(ProcessList, KnowsItsOwnProcess) {
  const auto self = find_entry(current_process_id());
  ASSERT_TRUE(self);
  auto image = process_image_path(current_process_id());
  ASSERT_TRUE(image);
  EXPECT_TRUE(same_path(*image, current_exe_path().value_or("")));
  EXPECT_TRUE(image->ends_with(self->exe_name)) << *image << " / " << self->exe_name;
}

TEST(ProcessList, NoSuchProcess) {
  // Process ids are multiples of 4 on Windows and far below this on Linux.
  EXPECT_FALSE(process_image_path(0x7ffffff1));
  EXPECT_FALSE(terminate_process(0x7ffffff1, 1));
}

TEST(CanonicalPath, ResolvesRelativePartsAndRefusesMissingFiles) {
  TempDir dir;
  set_script(dir.file("f"), "");  // creates "f.script"
  const std::string file = dir.file("f.script");
  const std::string detour = dir.file("sub") + (PATH_SEPARATOR == '\\' ? "\\..\\" : "/../");
  std::filesystem::create_directory(fs_path(dir.file("sub")));
  auto direct = canonical_path(file);
  ASSERT_TRUE(direct) << direct.error().to_string();
  EXPECT_EQ(canonical_path(detour + "f.script").value_or("?"), *direct);
  EXPECT_FALSE(direct->starts_with("\\\\?\\"));
  EXPECT_FALSE(canonical_path(dir.file("missing")));
#ifndef _WIN32
  std::filesystem::create_symlink(fs_path(file), fs_path(dir.file("link")));
  EXPECT_EQ(canonical_path(dir.file("link")).value_or("?"), *direct);
#endif
}

TEST(SamePath, ComparesComponentByComponent) {
  const struct {
    std::string a, b;
    bool same;
  } cases[] = {
#ifdef _WIN32
      {"C:\\Ombrel\\xray.exe", "C:\\Ombrel\\xray.exe", true},
      {"C:\\Ombrel\\XRAY.EXE", "c:\\ombrel\\xray.exe", true},
      {"C:\\Омбрел\\Ядро.exe", "c:\\омбрел\\ядро.EXE", true},
      {"C:\\Ombrel\\xray.exe", "C:/Ombrel//xray.exe", true},
      {"C:\\Ombrel\\xray.exe", "D:\\Ombrel\\xray.exe", false},
      {"C:\\Ombrel\\xray.exe", "C:\\Ombrel\\xray.exe.old", false},
      {"C:\\Ombrel\\xray.exe", "C:\\Ombrel\\x\\xray.exe", false},
#else
      {"/opt/ombrel/xray", "/opt/ombrel/xray", true},
      {"/opt/ombrel/xray", "/opt//ombrel/xray", true},
      {"/opt/ombrel/xray", "/opt/Ombrel/xray", false},
      {"/opt/ombrel/xray", "opt/ombrel/xray", false},
      {"/opt/ombrel/xray", "/opt/ombrel/xray.old", false},
      {"/opt/ombrel/xray", "/opt/ombrel/x/xray", false},
#endif
  };
  for (const auto& c : cases) {
    EXPECT_EQ(same_path(c.a, c.b), c.same) << c.a << " vs " << c.b;
    EXPECT_EQ(same_path(c.b, c.a), c.same) << c.b << " vs " << c.a;
  }
}

}  // namespace
}  // namespace ombrel::platform
