// Stands in for the service as the owner of a child process, for the tests
// of what happens to the child when its owner is killed:
//   standin-owner MODE PROGRAM [ARGUMENTS...]
// MODE is "bound" (the child ends with this process; asked for on a thread
// that ends right after), "lasting" (the same, asked for by a thread
// declared lasting, whose work ends right after), "plain" (an ordinary
// child, released) or "detached". The child's process id goes to
// <exe>.child (or the error to <exe>.error); then this program stays until
// it is killed.
#include <future>
#include <thread>

#include "standin.hpp"

int main(int argc, char** argv) {
  const auto exe = ombrel::platform::current_exe_path();
  if (!exe) return 100;
  const std::vector<std::string> args = ombrel::platform::program_arguments(argc, argv);
  if (args.size() < 2) return 101;
  const std::string& mode = args[0];
  const std::string& program = args[1];
  const std::vector<std::string> child_args(args.begin() + 2, args.end());

  ombrel::platform::SpawnOptions options;
  options.program = program;
  options.args = child_args;
  options.end_with_service = mode == "bound" || mode == "lasting";
  const auto released = [](ombrel::Result<ombrel::platform::Process> child) {
    return child ? ombrel::Result<std::uint32_t>(child->release()) : ombrel::fail(child.error());
  };

  ombrel::Result<std::uint32_t> pid = ombrel::fail("unknown mode " + mode);
  if (mode == "detached") {
    pid = ombrel::platform::spawn_detached(program, child_args, std::nullopt);
  } else if (mode == "lasting") {
    // The thread's work ends once the child is made; the thread must not.
    std::promise<ombrel::Result<std::uint32_t>> made;
    std::thread([&] {
      ombrel::platform::make_thread_lasting();
      made.set_value(released(ombrel::platform::spawn(options)));
      ombrel::platform::outlive_children_of_this_thread();
    }).detach();
    pid = made.get_future().get();
  } else if (mode == "bound" || mode == "plain") {
    // The thread that asks ends before the child is looked at: a child
    // bound to the life of that thread instead of the process would die now.
    std::thread([&] { pid = released(ombrel::platform::spawn(options)); }).join();
  }
  if (!pid) {
    standin::write_record(*exe + ".error", pid.error().to_string());
    return 102;
  }
  standin::write_record(*exe + ".child", std::to_string(*pid));
  standin::stay();
}
