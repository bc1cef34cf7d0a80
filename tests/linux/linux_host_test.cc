#include "hosts/linux/linux_host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "hosts/linux/marks.h"

namespace quillnest::linuxhost {
namespace {

std::shared_ptr<LinuxHost> makeHost(bool showPrivate = false) {
  return std::make_shared<LinuxHost>(LinuxHost::Options{"/nonexistent/rules.json", showPrivate});
}

// The rendering itself is the journal logger's (its tests); here the sink and the switch.
TEST(LinuxHostLogger, SinkGetsTheLevelAndPrivateTextOnlyUnderDebug) {
  for (bool showPrivate : {false, true}) {
    std::vector<std::pair<LogLevel, std::string>> lines;  // the sink runs on the caller's thread
    auto host = makeHost(showPrivate);
    host->setLogSink([&](LogLevel l, const std::string& line) { lines.emplace_back(l, line); });
    host->makeLogger("com.quillnest.mac.filter", "filter")
        ->log(LogLevel::error, "Failed: %s", {LogArgument::string("secret")});
    EXPECT_EQ(lines, (std::vector<std::pair<LogLevel, std::string>>{
                         {LogLevel::error, showPrivate ? "Failed: secret" : "Failed: <private>"}}));
  }
}

TEST(LinuxHostObservation, FiresPerChangeOnItsThreadUntilInvalidatedOrDestroyed) {
  auto host = makeHost();
  std::atomic<int> calls{0};
  std::atomic<bool> onCaller{false};
  const auto caller = std::this_thread::get_id();
  auto observation = host->observeFilterConfiguration(kObservingOptionNew, [&] {
    if (std::this_thread::get_id() == caller) onCaller = true;
    ++calls;
  });
  host->drain();
  EXPECT_EQ(calls.load(), 0);
  host->configurationChanged();
  host->configurationChanged();
  host->drain();
  EXPECT_EQ(calls.load(), 2);
  EXPECT_FALSE(onCaller.load());
  observation.reset();

  // Nothing runs after invalidate() returns, nor after a handler destroyed its own observation.
  calls = 0;
  std::atomic<bool> inHandler{false};
  std::promise<void> entered;
  observation = host->observeFilterConfiguration(kObservingOptionNew, [&] {
    inHandler = true;
    if (calls++ == 0) {
      entered.set_value();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    inHandler = false;
  });
  host->configurationChanged();
  entered.get_future().wait();
  host->configurationChanged();  // queued behind the running handler
  observation->invalidate();     // waits for the running one
  EXPECT_FALSE(inHandler.load());
  host->drain();
  EXPECT_EQ(calls.load(), 1);
  // A handler may destroy its own observation.
  std::unique_ptr<NSKeyValueObservation> own;
  own = host->observeFilterConfiguration(kObservingOptionNew, [&] {
    ++calls;
    own.reset();
  });
  host->configurationChanged();
  host->drain();
  host->configurationChanged();
  host->drain();
  EXPECT_EQ(calls.load(), 2);
  EXPECT_EQ(own, nullptr);
}

TEST(LinuxHostSettings, CompletionArrivesLaterOnAnotherThreadWithoutError) {
  auto host = makeHost();
  std::promise<std::pair<bool, std::thread::id>> done;
  host->applySettings(NEFilterSettings::initWithRules({}, NEFilterAction::filterData),
                      [&](ErrorRef error) {
                        done.set_value({error == nullptr, std::this_thread::get_id()});
                      });
  auto future = done.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  auto [noError, thread] = future.get();
  EXPECT_TRUE(noError);
  EXPECT_NE(thread, std::this_thread::get_id());
}

TEST(LinuxHostShutdown, PostsAfterShutdownAreDroppedAndDrainReturns) {
  auto host = makeHost();
  std::atomic<int> ran{0};
  host->post([&] { ++ran; });
  host->shutdown();
  host->post([&] { ++ran; });
  host->drain();
  host->shutdown();
  EXPECT_EQ(ran.load(), 1);
}

TEST(Marks, OurBitsOnlyAndDistinct) {
  EXPECT_EQ(withMark(0x0000beef, kMarkAllowed), 0x1000beefu);
  EXPECT_EQ(withMark(0xffffffff, kMarkDropped), 0xafffffffu);
  EXPECT_EQ(withMark(kMarkInspect | 0x5, kMarkAllowed), kMarkAllowed | 0x5);
  EXPECT_EQ(markValue(hosts::ConnectionMark::none), 0u);
}

}  // namespace
}  // namespace quillnest::linuxhost
