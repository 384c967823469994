#include "host/stop_signal.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace ombrel::host {
namespace {

using namespace std::chrono_literals;

TEST(StopSignal, EachMessageEndsOneWait) {
  auto [sender, receiver] = make_stop_signal();
  EXPECT_FALSE(receiver.wait_for(10ms));
  EXPECT_TRUE(sender.send());
  EXPECT_TRUE(sender.send());
  EXPECT_TRUE(receiver.wait_for(0ms));
  EXPECT_TRUE(receiver.wait_for(0ms));
  EXPECT_FALSE(receiver.wait_for(10ms));
}

TEST(StopSignal, WakesAWaiterOnAnotherThread) {
  auto [sender, receiver] = make_stop_signal();
  std::thread later([s = sender] {
    std::this_thread::sleep_for(20ms);
    s.send();
  });
  receiver.wait();
  later.join();
}

TEST(StopSignal, TheLastSenderGoneCountsAsAMessage) {
  auto signal = make_stop_signal();
  StopReceiver& receiver = signal.second;
  std::optional<StopSender> first(std::move(signal.first));
  std::optional<StopSender> copy(*first);
  first.reset();
  // One sending end remains: still waiting.
  EXPECT_FALSE(receiver.wait_for(10ms));
  std::thread drop([&] {
    std::this_thread::sleep_for(20ms);
    copy.reset();
  });
  receiver.wait();
  drop.join();
  // And it stays that way: nobody can ever send again.
  EXPECT_TRUE(receiver.wait_for(0ms));
}

TEST(StopSignal, SendingToAGoneReceiverFails) {
  auto signal = make_stop_signal();
  StopSender sender = signal.first;
  { StopReceiver gone = std::move(signal.second); }
  EXPECT_FALSE(sender.send());
}

}  // namespace
}  // namespace ombrel::host
