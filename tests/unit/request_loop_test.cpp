#include "service/request_loop.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/fault.h"
#include "protocol/encode.h"
#include "protocol/render.h"
#include "testing/transport/memory_log.h"
#include "testing/transport/memory_transport.h"

namespace kesta::service {
namespace {

using kesta::testing::ClientScript;
using kesta::testing::MemoryListener;
using kesta::testing::MemoryLog;
using kesta::testing::ScriptEnded;
using kesta::testing::Transcript;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr const char* kInfoLine = "pEluZm8=\n";
constexpr const char* kDisconnectLine = "qkRpc2Nvbm5lY3Q=\n";
constexpr const char* kDisconnectedLine = "rERpc2Nvbm5lY3RlZA==\n";

// The lines a handled Info writes when the handler answers Disconnected.
const std::vector<std::string> kInfoAnswered = {
    "Received message: pEluZm8=", "Received command: Info", "Sending response: Disconnected",
    std::string("Message sent: ") + kDisconnectedLine};

struct Reply {
  protocol::Response response;
  Delivery delivery = Delivery::kLogged;
  std::function<void()> after{};
};

// Stands in for the tunnel manager: records each call and answers as scripted.
class FakeHandlers final : public CommandHandlers {
 public:
  Answer connect(const protocol::Config& config) override {
    calls.push_back("connect");
    configs.push_back(config);
    return answer();
  }
  Answer disconnect() override {
    calls.push_back("disconnect");
    return answer();
  }
  Answer info() override {
    calls.push_back("info");
    return answer();
  }

  Reply reply{protocol::Disconnected{}};
  std::vector<std::string> calls;
  std::vector<protocol::Config> configs;

 private:
  Answer answer() {
    Answer answer{reply.response, reply.delivery};
    if (reply.after) answer.after = reply.after;
    return answer;
  }
};

class RequestLoopTest : public ::testing::Test {
 protected:
  RequestLoopTest()
      : state_(std::make_unique<MemoryListener>(), std::make_shared<MemoryLog>(),
               std::make_unique<FakeHandlers>()),
        listener_(static_cast<MemoryListener&>(*state_.listener)),
        log_(static_cast<MemoryLog&>(*state_.log)),
        handlers_(static_cast<FakeHandlers&>(*state_.handlers)) {}

  std::shared_ptr<const Transcript> client(std::vector<std::string> chunks) {
    return listener_.add_client(ClientScript{.chunks = std::move(chunks)});
  }

  // Runs the worker until the listener has no client left.
  void run() { EXPECT_THROW(run_worker(state_), ScriptEnded); }

  WorkerState state_;
  MemoryListener& listener_;
  MemoryLog& log_;
  FakeHandlers& handlers_;
};

TEST_F(RequestLoopTest, HandlesOneRequestPerConnection) {
  struct Case {
    const char* name;
    ClientScript script;
    std::vector<std::string> log;
    std::vector<std::string> calls;
    std::string written;
  };
  const std::vector<std::string> info_calls = {"info"};
  const std::vector<std::string> no_calls;
  const Case cases[] = {
      {"line feed", {.chunks = {kInfoLine}}, kInfoAnswered, info_calls, kDisconnectedLine},
      {"CRLF and surrounding white space",
       {.chunks = {" \t pEluZm8= \r\n"}},
       kInfoAnswered,
       info_calls,
       kDisconnectedLine},
      {"no line feed before end of stream",
       {.chunks = {"pEluZm8="}},
       kInfoAnswered,
       info_calls,
       kDisconnectedLine},
      {"line split across reads",
       {.chunks = {"pE", "luZm", "8=\n"}},
       kInfoAnswered,
       info_calls,
       kDisconnectedLine},
      {"only the first line counts",
       {.chunks = {std::string(kInfoLine) + kDisconnectLine + kDisconnectLine}},
       kInfoAnswered,
       info_calls,
       kDisconnectedLine},
      {"empty request",
       {},
       {"Received message: ",
        "Failed to parse incoming message: IO error while reading marker: failed to fill whole "
        "buffer"},
       no_calls,
       ""},
      {"not Base64",
       {.chunks = {"pEl uZm8=\n"}},
       {"Received message: pEl uZm8=",
        "Failed to decode incoming message: Invalid symbol 32, "
        "offset 3."},
       no_calls,
       ""},
      {"Base64 of something that is no command",
       {.chunks = {"kaRJbmZv\n"}},
       {"Received message: kaRJbmZv",
        "Failed to parse incoming message: invalid type: sequence, expected variant identifier"},
       no_calls,
       ""},
      {"invalid UTF-8",
       {.chunks = {"pEl\xffuZm8=\n"}},
       {"Failed to read incoming message: stream did not contain valid UTF-8"},
       no_calls,
       ""},
      {"read error",
       {.chunks = {"pEl"}, .read_error = "The network connection was aborted."},
       {"Failed to read incoming message: The network connection was aborted."},
       no_calls,
       ""},
      {"control characters cannot forge log lines",
       {.chunks = {"pEl\x1b[2J\\\rReceived command: Info\n"}},
       {"Received message: pEl\\u{1b}[2J\\\\\\rReceived command: Info",
        "Failed to decode incoming message: Invalid symbol 27, offset 3."},
       no_calls,
       ""},
  };
  std::vector<std::shared_ptr<const Transcript>> transcripts;
  for (const Case& c : cases) transcripts.push_back(listener_.add_client(c.script));
  run();

  // Each connection's lines follow the previous one's, so the log is cut up case by case.
  std::size_t line = 0;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    ASSERT_LE(line + c.log.size(), log_.lines.size());
    EXPECT_THAT(std::vector(log_.lines.begin() + line, log_.lines.begin() + line + c.log.size()),
                ElementsAreArray(c.log));
    line += c.log.size();
    EXPECT_EQ(transcripts[i]->written, c.written);
    EXPECT_TRUE(transcripts[i]->dropped);
  }
  EXPECT_EQ(line, log_.lines.size());
  EXPECT_EQ(handlers_.calls, std::vector<std::string>(5, "info"));
}

TEST_F(RequestLoopTest, LogOfAHandledRequestEndsWithAnEmptyLine) {
  client({kInfoLine});
  run();
  EXPECT_EQ(log_.text(),
            "Received message: pEluZm8=\n"
            "Received command: Info\n"
            "Sending response: Disconnected\n"
            "Message sent: rERpc2Nvbm5lY3RlZA==\n"
            "\n");
}

TEST_F(RequestLoopTest, DispatchesEachCommandToItsHandler) {
  const protocol::Config config{
      .encryption = {.client_key = {1}, .server_key = {2}, .shared_key = {3}},
      .endpoint = {.url = "vpn.example", .ip = {192, 0, 2, 1}, .port = 51820},
      .client = {.ip = {10, 0, 0, 2}, .ports = {80, 443}},
  };
  client({protocol::encode_command(protocol::Connect{config})});
  client({kDisconnectLine});
  client({kInfoLine});
  run();
  EXPECT_THAT(handlers_.calls, ElementsAre("connect", "disconnect", "info"));
  EXPECT_THAT(handlers_.configs, ElementsAre(config));
  EXPECT_EQ(log_.lines.at(1), "Received command: " + protocol::render(protocol::Connect{config}));
}

TEST_F(RequestLoopTest, RetriesAFailingAcceptAtOnce) {
  listener_.add_accept_error("All pipe instances are busy. (os error 231)");
  listener_.add_accept_error("unexpected lock poison");
  const auto served = client({kInfoLine});
  run();
  std::vector<std::string> expected = {
      "Incoming connection failed: All pipe instances are busy. (os error 231)",
      "Incoming connection failed: unexpected lock poison"};
  expected.insert(expected.end(), kInfoAnswered.begin(), kInfoAnswered.end());
  EXPECT_EQ(log_.lines, expected);
  EXPECT_EQ(listener_.accepts(), 3u);
  EXPECT_EQ(served->written, kDisconnectedLine);
}

TEST_F(RequestLoopTest, RefusesAnEndlessLineAfterOneMebibyte) {
  const auto endless = listener_.add_client({.filler_bytes = 2 * 1024 * 1024});
  const auto next = client({kInfoLine});
  run();
  ASSERT_FALSE(log_.lines.empty());
  EXPECT_EQ(log_.lines.front(),
            "Failed to read incoming message: request line exceeds 1048576 bytes");
  EXPECT_EQ(endless->written, "");
  EXPECT_TRUE(endless->dropped);
  // Reading stops at the bound, give or take one buffer.
  EXPECT_LE(endless->bytes_read, 1024u * 1024u + 8192u);
  EXPECT_EQ(next->written, kDisconnectedLine);
}

TEST_F(RequestLoopTest, ALongRequestDoesNotLeakIntoTheNext) {
  client({std::string(5000, 'A') + "\n"});
  client({kInfoLine});
  run();
  ASSERT_EQ(log_.lines.size(), 2u + kInfoAnswered.size());
  EXPECT_EQ(log_.lines[0], "Received message: " + std::string(5000, 'A'));
  EXPECT_EQ(std::vector(log_.lines.begin() + 2, log_.lines.end()), kInfoAnswered);
}

TEST_F(RequestLoopTest, AFailedWriteEndsOnlyThatConnection) {
  const auto gone = listener_.add_client(
      {.chunks = {kInfoLine}, .write_error = "The pipe is being closed. (os error 232)"});
  const auto next = client({kInfoLine});
  run();
  std::vector<std::string> expected = {
      "Received message: pEluZm8=", "Received command: Info", "Sending response: Disconnected",
      "Failed to send response: The pipe is being closed. (os error 232)"};
  expected.insert(expected.end(), kInfoAnswered.begin(), kInfoAnswered.end());
  EXPECT_EQ(log_.lines, expected);
  EXPECT_TRUE(gone->dropped);
  EXPECT_EQ(next->written, kDisconnectedLine);
}

TEST_F(RequestLoopTest, AFailingLogEndsTheWorker) {
  log_.fail_after = 1;
  client({kInfoLine});
  EXPECT_THROW(run_worker(state_), Fault);
  EXPECT_THAT(log_.lines, ElementsAre("Received message: pEluZm8="));
}

// The after-answer step (closing an adapter the request replaced, say) runs once the client has
// been written to and the sending logged, whether the write worked or not; an answer whose
// sending faults takes what the step holds with it, unrun.
TEST_F(RequestLoopTest, TheAfterAnswerStepFollowsTheSending) {
  const std::string failure = "Failed to connect: Failed to connect to server";
  const std::string failure_line = *protocol::encode_response(protocol::Error{failure});
  struct Row {
    const char* name;
    ClientScript script;
    bool log_fails;
    std::optional<std::string> written_before_step;
    std::vector<std::string> log_before_step;
  } rows[] = {
      {"written",
       {.chunks = {kInfoLine}},
       false,
       failure_line,
       {"Received message: pEluZm8=", "Received command: Info", failure}},
      {"write fails",
       {.chunks = {kInfoLine}, .write_error = "gone"},
       false,
       "",
       {"Received message: pEluZm8=", "Received command: Info", failure,
        "Failed to send response: gone"}},
      {"log fails", {.chunks = {kInfoLine}}, true, std::nullopt, {}},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.name);
    log_.lines.clear();
    // The log gives out at the failure line, after the two request lines.
    log_.fail_after = row.log_fails ? 2 : std::numeric_limits<std::size_t>::max();
    const auto transcript = listener_.add_client(row.script);
    std::optional<std::string> written_before_step;
    std::vector<std::string> log_before_step;
    const auto replaced_adapter = std::make_shared<int>(0);
    handlers_.reply = {protocol::Error{failure}, Delivery::kQuiet, [&, held = replaced_adapter] {
                         written_before_step = transcript->written;
                         log_before_step = log_.lines;
                       }};
    std::weak_ptr<int> watched = replaced_adapter;
    if (row.log_fails) {
      EXPECT_THROW(serve_next(state_), Fault);
    } else {
      serve_next(state_);
    }
    handlers_.reply = {protocol::Disconnected{}};
    EXPECT_EQ(written_before_step, row.written_before_step);
    EXPECT_EQ(log_before_step, row.log_before_step);
    EXPECT_TRUE(transcript->dropped);
    // The answer has let go of what its step held.
    EXPECT_EQ(watched.use_count(), 1);
  }
}

TEST(SendAnswer, LogsAndWritesAsAsked) {
  const protocol::Response error_x = protocol::Error{"x"};
  const protocol::Response before_1970 = protocol::Connected{
      {.last_handshake = protocol::SystemTime{protocol::kUnixEpochIntervals - 1}}};
  const std::string sending_error_x = "Sending response: " + protocol::render(error_x);
  struct Case {
    const char* name;
    protocol::Response response;
    Delivery delivery;
    std::optional<std::string> write_error;
    std::vector<std::string> log;
    std::string written;
    bool sent;
  };
  const Case cases[] = {
      {"logged",
       protocol::Disconnected{},
       Delivery::kLogged,
       {},
       {"Sending response: Disconnected", std::string("Message sent: ") + kDisconnectedLine},
       kDisconnectedLine,
       true},
      {"failure, logged",
       error_x,
       Delivery::kLogged,
       {},
       {"x", sending_error_x, "Message sent: gaVFcnJvcqF4\n"},
       "gaVFcnJvcqF4\n",
       true},
      {"failure, quiet", error_x, Delivery::kQuiet, {}, {"x"}, "gaVFcnJvcqF4\n", true},
      {"failure, logged, write fails",
       error_x,
       Delivery::kLogged,
       "gone",
       {"x", sending_error_x, "Failed to send response: gone"},
       "",
       false},
      {"failure, quiet, write fails",
       error_x,
       Delivery::kQuiet,
       "gone",
       {"x", "Failed to send response: gone"},
       "",
       false},
      {"cannot be encoded",
       before_1970,
       Delivery::kLogged,
       {},
       {"Sending response: " + protocol::render(before_1970),
        "Failed to send response: SystemTime must be later than UNIX_EPOCH"},
       "",
       false},
      {"quiet, cannot be encoded",
       before_1970,
       Delivery::kQuiet,
       {},
       {"Failed to send response: SystemTime must be later than UNIX_EPOCH"},
       "",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryListener listener;
    const auto transcript = listener.add_client({.write_error = c.write_error});
    auto connection = listener.accept();
    ASSERT_TRUE(connection);
    MemoryLog log;
    const Result<> sent = send_answer(*connection->connection, Answer{c.response, c.delivery}, log);
    EXPECT_EQ(sent.has_value(), c.sent);
    EXPECT_EQ(log.lines, c.log);
    EXPECT_EQ(transcript->written, c.written);
  }
}

}  // namespace
}  // namespace kesta::service
