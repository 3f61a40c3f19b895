#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/error.h"
#include "core/fault.h"
#include "core/thread.h"
#include "service/service_control.h"
#include "service/stop_channel.h"
#include "service/supervision.h"
#include "testing/transport/memory_log.h"

namespace kesta::service {
namespace {

using kesta::testing::MemoryLog;
using ::testing::ElementsAre;
using namespace std::chrono_literals;

std::chrono::steady_clock::time_point in(std::chrono::milliseconds delay) {
  return std::chrono::steady_clock::now() + delay;
}

TEST(ServiceHostStopChannel, ThreeOutcomes) {
  {
    auto [sender, receiver] = make_stop_channel();
    EXPECT_EQ(receiver.wait_until(in(10ms)), StopWait::kTimedOut);
    EXPECT_TRUE(sender.send());
    EXPECT_TRUE(sender.send());
    EXPECT_EQ(receiver.wait_until(in(10ms)), StopWait::kMessage);
    // Unbounded: the second message is still queued.
    EXPECT_EQ(receiver.wait_until(in(10ms)), StopWait::kMessage);
    EXPECT_EQ(receiver.wait_until(in(10ms)), StopWait::kTimedOut);
  }
  {
    auto [sender, receiver] = make_stop_channel();
    sender.send();
    sender.close();
    EXPECT_FALSE(sender.send());
    EXPECT_EQ(receiver.wait_until(in(10ms)), StopWait::kMessage);
    EXPECT_EQ(receiver.wait_until(in(10ms)), StopWait::kClosed);
  }
  {
    auto [sender, receiver] = make_stop_channel();
    { StopSender gone = std::move(sender); }
    EXPECT_EQ(receiver.wait_until(in(10ms)), StopWait::kClosed);
  }
}

TEST(ServiceHostStopChannel, WakesAWaitingReceiver) {
  auto [sender, receiver] = make_stop_channel();
  std::thread stopper([&sender] {
    std::this_thread::sleep_for(20ms);
    sender.send();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(receiver.wait_until(in(60s)), StopWait::kMessage);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  stopper.join();
}

TEST(ServiceHostControl, HandlerTable) {
  struct Row {
    std::uint32_t control;
    ControlAction action;
  };
  const Row rows[] = {
      {1, {0, true, true}},         // stop
      {4, {0, false, false}},       // interrogate
      {5, {120, false, true}},      // shutdown
      {15, {120, false, true}},     // pre-shutdown
      {2, {120, false, false}},     // pause
      {3, {120, false, false}},     // continue
      {6, {120, false, false}},     // parameter change
      {0, {120, false, false}},     // no such control
      {0x80, {120, false, false}},  // user-defined
      {0xFFFFFFFF, {120, false, false}},
  };
  for (const Row& row : rows) EXPECT_EQ(control_action(row.control), row.action) << row.control;
}

TEST(ServiceHostControl, ContextSendsStopThenIgnoresEverything) {
  auto [sender, receiver] = make_stop_channel();
  ControlContext context(std::move(sender));
  EXPECT_EQ(context.handle(4), 0u);
  EXPECT_EQ(context.handle(2), 120u);
  EXPECT_EQ(receiver.wait_until(in(10ms)), StopWait::kTimedOut);
  EXPECT_EQ(context.handle(1), 0u);
  // After the close, a second Stop and even an unknown control return NO_ERROR.
  EXPECT_EQ(context.handle(1), 0u);
  EXPECT_EQ(context.handle(2), 0u);
  EXPECT_EQ(receiver.wait_until(in(10ms)), StopWait::kMessage);
  EXPECT_EQ(receiver.wait_until(in(10ms)), StopWait::kClosed);
}

TEST(ServiceHostControl, ShutdownClosesWithoutMessage) {
  for (const std::uint32_t control : {5u, 15u}) {
    auto [sender, receiver] = make_stop_channel();
    ControlContext context(std::move(sender));
    EXPECT_EQ(context.handle(control), 120u);
    EXPECT_EQ(receiver.wait_until(in(10ms)), StopWait::kClosed) << control;
  }
  ControlContext without_channel(std::nullopt);
  EXPECT_EQ(without_channel.handle(1), 0u);
}

// A worker that runs until told to end, then ends the way `end` says.
struct FakeWorker {
  std::shared_ptr<std::promise<void>> release = std::make_shared<std::promise<void>>();

  WorkerThread start(std::function<void()> end) {
    auto released = release->get_future().share();
    return WorkerThread([released, end = std::move(end)] {
      released.wait();
      end();
    });
  }
};

TEST(ServiceHostSupervision, StopEndsWithExitCodeZeroWhileTheWorkerIsBusy) {
  struct Row {
    const char* name;
    bool close_only;
  };
  for (const Row row : {Row{"message", false}, Row{"closed channel", true}}) {
    FakeWorker fake;
    WorkerThread worker = fake.start([] {});
    auto [sender, receiver] = make_stop_channel();
    if (!row.close_only) sender.send();
    sender.close();
    MemoryLog log;
    const SupervisionEnd end = supervise(worker, receiver, log, 10ms);
    EXPECT_EQ(end, SupervisionEnd::kStopped) << row.name;
    EXPECT_EQ(exit_code_of(end), 0u);
    EXPECT_THAT(log.lines, ElementsAre("Service stopped")) << row.name;
    EXPECT_FALSE(worker.finished());
    fake.release->set_value();
  }
}

TEST(ServiceHostSupervision, WorkerEndIsReportedWithExitCodeTwo) {
  struct Row {
    const char* name;
    std::function<void()> end;
    std::string description;
  };
  const std::vector<Row> rows = {
      {"fixed", [] { throw Fault("log poisoned", Fault::Origin::kFixed); },
       R"(Some("log poisoned"))"},
      {"fixed with escapes", [] { throw Fault("say \"hi\"\\\n\x01", Fault::Origin::kFixed); },
       R"(Some("say \"hi\"\\\n\u{1}"))"},
      {"composed", [] { throw Fault("failed: 5", Fault::Origin::kComposed); }, "None"},
      {"other exception", [] { throw std::runtime_error("boom"); }, "None"},
      {"returned", [] {}, "None"},
  };
  for (const Row& row : rows) {
    FakeWorker fake;
    WorkerThread worker = fake.start(row.end);
    auto [sender, receiver] = make_stop_channel();
    MemoryLog log;
    std::thread dier([release = fake.release] {
      std::this_thread::sleep_for(30ms);
      release->set_value();
    });
    // No polling: the worker's end itself wakes the supervision.
    const SupervisionEnd end = supervise(worker, receiver, log);
    dier.join();
    EXPECT_EQ(end, SupervisionEnd::kWorkerDied) << row.name;
    EXPECT_EQ(exit_code_of(end), 2u);
    EXPECT_THAT(log.lines, ElementsAre("Wireguard thread stopped unexpectedly",
                                       "Wireguard thread stopped with panic: " + row.description))
        << row.name;
  }
  // Any other thread of the service that fails ends it the same way while the worker serves on.
  for (const Row& row : rows) {
    if (row.name == std::string("returned")) continue;
    auto barrier = std::make_shared<FaultBarrier>();
    FaultBarrier::install(barrier);
    std::promise<void> release;
    WorkerThread worker([released = release.get_future()] { released.wait(); }, kWorkerStack,
                        barrier);
    auto [sender, receiver] = make_stop_channel();
    MemoryLog log;
    Thread dier(kSmallStack, [end = row.end] {
      std::this_thread::sleep_for(30ms);
      end();
    });
    const SupervisionEnd end = supervise(worker, receiver, log);
    dier.join();
    set_thread_barrier({});
    release.set_value();
    EXPECT_EQ(end, SupervisionEnd::kWorkerDied) << row.name;
    EXPECT_THAT(log.lines, ElementsAre("Wireguard thread stopped unexpectedly",
                                       "Wireguard thread stopped with panic: " + row.description))
        << row.name;
  }
}

TEST(ServiceHostSupervision, AFaultingLogLeavesTheLoop) {
  FakeWorker fake;
  WorkerThread worker = fake.start([] {});
  auto [sender, receiver] = make_stop_channel();
  sender.send();
  MemoryLog log;
  log.fail_after = 0;
  EXPECT_THROW(supervise(worker, receiver, log, 10ms), Fault);
  fake.release->set_value();
}

TEST(ServiceHostExitStatus, RootSystemCode) {
  struct Row {
    Error error;
    ExitStatus status;
  };
  const Row rows[] = {
      {Error("LoadLibraryExW failed", system_error(126)), {126, 0}},
      {Error("IO error in winapi call", system_error(1063)), {1063, 0}},
      {system_error(5), {5, 0}},
      {Error("outer", Error("middle", system_error(231))), {231, 0}},
      // The code must be at the root, not at an outer link.
      {Error("outer (os error 7)", Error("root")), {1066, 1}},
      {Error("LoadLibraryExW failed, but system did not report the error"), {1066, 1}},
      // Only a system error carries a code, whatever another error's text says.
      {Error("text (os error 12)"), {1066, 1}},
      {system_error(0), {1066, 1}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(exit_status_for_error(row.error), row.status) << row.error.report();
  }
  EXPECT_EQ(kFaultExitStatus, (ExitStatus{1066, 2}));
}

TEST(ServiceHostDispatcherFailure, ConsoleLineWithKind) {
  struct Row {
    std::uint32_t code;
    const char* kind;
  };
  const Row rows[] = {
      {1063, "Uncategorized"}, {5, "PermissionDenied"}, {2, "NotFound"},      {3, "NotFound"},
      {80, "AlreadyExists"},   {183, "AlreadyExists"},  {109, "BrokenPipe"},  {232, "BrokenPipe"},
      {87, "InvalidInput"},    {121, "TimedOut"},       {258, "TimedOut"},    {1460, "TimedOut"},
      {120, "Unsupported"},    {0, "Uncategorized"},    {4, "Uncategorized"},
  };
  for (const Row& row : rows) EXPECT_EQ(error_kind_name(row.code), row.kind) << row.code;
  EXPECT_EQ(dispatcher_failure_line(1063, "The \"service\" process\tcould not connect."),
            "Error: Winapi(Os { code: 1063, kind: Uncategorized, message: \"The \\\"service\\\" "
            "process\\tcould not connect.\" })\n");
}

}  // namespace
}  // namespace kesta::service
