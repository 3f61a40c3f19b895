#include <windows.h>

#include <aclapi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/fault.h"
#include "pipe/pipe_listener_win.h"
#include "service/request_loop.h"
#include "service/supervision.h"
#include "testing/security/access_check_win.h"
#include "testing/transport/memory_log.h"

namespace kesta::pipe {
namespace {

using namespace std::chrono_literals;
using service::Accepted;

bool under_wine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::wstring unique_name() {
  static int count = 0;
  return L"kesta_pipe_test_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
         std::to_wstring(++count);
}

// Waits, as a client should, while no instance is free.
UniqueFile open_client(const std::wstring& name) {
  const std::wstring path = std::wstring(kPipePrefix) + name;
  const auto until = Clock::now() + 5s;
  for (;;) {
    UniqueFile client(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    if (client || GetLastError() != ERROR_PIPE_BUSY || Clock::now() > until) return client;
    WaitNamedPipeW(path.c_str(), 1000);
  }
}

void client_write(const UniqueFile& client, std::string_view bytes) {
  DWORD written = 0;
  ASSERT_TRUE(
      WriteFile(client.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  ASSERT_EQ(written, bytes.size());
}

// The request line the read-ahead framed, or why there is none.
const Result<std::string>& read_line(const Accepted& accepted) {
  return accepted.request;
}

// Whether the client's end is still connected to a server instance.
bool client_connected(const UniqueFile& client) {
  DWORD available = 0;
  return PeekNamedPipe(client.get(), nullptr, 0, nullptr, &available, nullptr);
}

std::string fault_text(const std::function<void()>& action) {
  try {
    action();
  } catch (const Fault& fault) {
    return fault.description();
  }
  return "(no fault)";
}

class PipeTransportTest : public ::testing::Test {
 protected:
  PipeTransportTest() {
    auto descriptor = SecurityDescriptor::from_sddl(kPipeSecurity);
    EXPECT_TRUE(descriptor) << descriptor.error().message();
    descriptor_ = std::move(*descriptor);
  }

  // Beyond what each line may hold freely, `shared` bytes of budget for all of them.
  ListenerOptions options(std::uint8_t limit = 0,
                          std::chrono::milliseconds deadline = kReadDeadline,
                          std::size_t free_read_ahead = kFreeReadAhead,
                          std::size_t shared = 64 * 1024) {
    return {.instance_limit = limit,
            .read_deadline = deadline,
            .write_deadline = deadline,
            .limbo = limbo_,
            .read_ahead_budget = kMaxPendingConnections * free_read_ahead + shared,
            .free_read_ahead = free_read_ahead};
  }

  std::unique_ptr<PipeListener> listen(std::uint8_t limit = 0,
                                       std::chrono::milliseconds deadline = kReadDeadline,
                                       std::size_t free_read_ahead = kFreeReadAhead,
                                       std::size_t shared = 64 * 1024) {
    auto listener = PipeListener::create(name_, descriptor_.get(),
                                         options(limit, deadline, free_read_ahead, shared));
    EXPECT_TRUE(listener) << (listener ? "" : listener.error().error.message());
    return listener ? std::move(*listener) : nullptr;
  }

  std::unique_ptr<Accepted> accept(PipeListener& listener) {
    auto connection = listener.accept();
    EXPECT_TRUE(connection) << (connection ? "" : connection.error().message());
    return connection ? std::make_unique<Accepted>(std::move(*connection)) : nullptr;
  }

  std::wstring name_ = unique_name();
  SecurityDescriptor descriptor_;
  std::shared_ptr<LimboPool> limbo_ = std::make_shared<LimboPool>(500ms);
};

TEST_F(PipeTransportTest, CreateRefusesBadNamesAndTheReservedLimit) {
  const struct {
    std::wstring name;
    std::uint8_t limit;
    std::string error;
  } cases[] = {
      {std::wstring(L"bad\0name", 8), 0, "invalid nul value found at position 12"},
      {std::wstring(L"\0", 1), 0, "invalid nul value found at position 9"},
      {name_, 255,
       "cannot set 255 as the named pipe instance limit due to 255 being a reserved value"},
  };
  for (const auto& c : cases) {
    auto listener = PipeListener::create(c.name, descriptor_.get(), options(c.limit));
    ASSERT_FALSE(listener);
    EXPECT_EQ(listener.error().error.message(), c.error);
    EXPECT_FALSE(listener.error().name_occupied);
  }
}

TEST_F(PipeTransportTest, InstancesAreByteModeWith512ByteBuffersAndTheLimit) {
  const struct {
    std::uint8_t limit;
    std::vector<DWORD> reported;  // Wine reports "unlimited" as ~0
  } cases[] = {{0, {255, 0xFFFFFFFF}}, {1, {1}}, {3, {3}}, {254, {254}}};
  for (const auto& c : cases) {
    name_ = unique_name();
    const auto listener = listen(c.limit);
    ASSERT_NE(listener, nullptr);
    const UniqueFile client = open_client(name_);
    ASSERT_TRUE(client) << GetLastError();
    DWORD flags = 0, out_size = 0, in_size = 0, instances = 0;
    ASSERT_TRUE(GetNamedPipeInfo(client.get(), &flags, &out_size, &in_size, &instances));
    EXPECT_EQ(flags, PIPE_CLIENT_END | PIPE_TYPE_BYTE);
    EXPECT_EQ(out_size, 512u);
    EXPECT_EQ(in_size, 512u);
    EXPECT_NE(std::find(c.reported.begin(), c.reported.end(), instances), c.reported.end())
        << int(c.limit) << " reported as " << instances;
  }
}

TEST_F(PipeTransportTest, NameHeldByAnotherServerIsReportedAsOccupied) {
  // An instance with another limit, all of whose instances are taken, refuses ours.
  const std::wstring path = std::wstring(kPipePrefix) + name_;
  const UniqueFile other(
      CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 512, 512, 0, nullptr));
  ASSERT_TRUE(other);
  auto listener = PipeListener::create(name_, descriptor_.get(), options());
  ASSERT_FALSE(listener);
  EXPECT_TRUE(listener.error().name_occupied);
  const std::string message = listener.error().error.message();
  EXPECT_TRUE(message == system_error_message(ERROR_PIPE_BUSY) ||
              message == system_error_message(ERROR_ACCESS_DENIED))
      << message;
}

TEST_F(PipeTransportTest, SecondListenerOnTheSameNameIsRefused) {
  if (under_wine()) GTEST_SKIP() << "Wine does not enforce FILE_FLAG_FIRST_PIPE_INSTANCE";
  const auto first = listen();
  ASSERT_NE(first, nullptr);
  auto second = PipeListener::create(name_, descriptor_.get(), options());
  ASSERT_FALSE(second);
  EXPECT_TRUE(second.error().name_occupied);
  EXPECT_EQ(second.error().error.message(), system_error_message(ERROR_ACCESS_DENIED));
}

struct ReadBack {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  bool dacl_present = false;
  std::vector<ACCESS_ALLOWED_ACE*> aces;  // point into `descriptor`
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ~ReadBack() { LocalFree(descriptor); }
};

// The DACL that the pipe instance behind `client` carries.
void read_back(const UniqueFile& client, ReadBack& out) {
  PACL dacl = nullptr;
  ASSERT_EQ(GetSecurityInfo(client.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &out.descriptor),
            ERROR_SUCCESS);
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(out.descriptor, &out.control, &revision));
  BOOL present = FALSE, defaulted = FALSE;
  ASSERT_TRUE(GetSecurityDescriptorDacl(out.descriptor, &present, &dacl, &defaulted));
  out.dacl_present = present;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, &ace));
    out.aces.push_back(static_cast<ACCESS_ALLOWED_ACE*>(ace));
  }
}

bool is_well_known(ACCESS_ALLOWED_ACE* ace, WELL_KNOWN_SID_TYPE type) {
  return IsWellKnownSid(reinterpret_cast<PSID>(&ace->SidStart), type);
}

TEST_F(PipeTransportTest, EveryInstanceCarriesTheServiceDacl) {
  const auto listener = listen();
  ASSERT_NE(listener, nullptr);
  const UniqueFile first = open_client(name_);
  ASSERT_TRUE(first);
  client_write(first, "x\n");
  const auto connection = accept(*listener);
  const UniqueFile second = open_client(name_);
  ASSERT_TRUE(second);

  // Generic rights may be stored as given or mapped to the file rights they stand for.
  GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                          FILE_ALL_ACCESS};
  DWORD all = GENERIC_ALL;
  MapGenericMask(&all, &mapping);
  const struct {
    WELL_KNOWN_SID_TYPE sid;
    std::vector<DWORD> masks;
  } expected[] = {{WinLocalSystemSid, {GENERIC_ALL, all}},
                  {WinBuiltinAdministratorsSid, {GENERIC_ALL, all}},
                  {WinWorldSid, {0x12019b}}};
  for (const UniqueFile* client : {&first, &second}) {
    ReadBack back;
    read_back(*client, back);
    EXPECT_TRUE(back.dacl_present);
    EXPECT_TRUE(back.control & SE_DACL_PROTECTED);
    ASSERT_EQ(back.aces.size(), std::size(expected));
    for (std::size_t i = 0; i < back.aces.size(); ++i) {
      EXPECT_EQ(back.aces[i]->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << i;
      EXPECT_EQ(back.aces[i]->Header.AceFlags, 0) << i;
      EXPECT_TRUE(is_well_known(back.aces[i], expected[i].sid)) << i;
      EXPECT_NE(std::find(expected[i].masks.begin(), expected[i].masks.end(), back.aces[i]->Mask),
                expected[i].masks.end())
          << i << ": " << std::hex << back.aces[i]->Mask;
    }
  }
}

// Judged by the system's own access check, since Wine opens a pipe whatever its DACL says.
TEST_F(PipeTransportTest, OrdinaryUsersMayConnectButNeitherServeNorReconfigureThePipe) {
  using testing::Caller;
  const auto listener = listen();
  ASSERT_NE(listener, nullptr);
  const UniqueFile client = open_client(name_);
  ASSERT_TRUE(client);
  ReadBack back;
  read_back(client, back);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(back.descriptor, &present, &dacl, &defaulted));
  ASSERT_TRUE(present && dacl != nullptr);

  constexpr DWORD kClientOpen = 0x12019b;  // what the pipe driver checks a read-write open for
  const struct {
    const char* what;
    DWORD desired;
    Caller caller;
    bool granted;
  } cases[] = {
      {"read-write open", kClientOpen, Caller::kUser, true},
      {"what kestactl asks for", GENERIC_READ | FILE_WRITE_DATA, Caller::kUser, true},
      {"read only", GENERIC_READ, Caller::kUser, true},
      {"new instances", FILE_CREATE_PIPE_INSTANCE, Caller::kUser, false},
      {"DACL", WRITE_DAC, Caller::kUser, false},
      {"owner", WRITE_OWNER, Caller::kUser, false},
      {"delete", DELETE, Caller::kUser, false},
      {"everything", GENERIC_ALL, Caller::kAdministrator, true},
      {"new instances", FILE_CREATE_PIPE_INSTANCE, Caller::kAdministrator, true},
      {"DACL, owner and delete", WRITE_DAC | WRITE_OWNER | DELETE, Caller::kAdministrator, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.what) +
                 (c.caller == Caller::kUser ? " as a user" : " as an administrator"));
    EXPECT_EQ(testing::granted_access(dacl, c.desired, c.caller).has_value(), c.granted);
  }
}

struct WellKnownSid {
  explicit WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    DWORD size = sizeof bytes;
    EXPECT_TRUE(CreateWellKnownSid(type, nullptr, bytes, &size));
  }
  PSID get() { return bytes; }
  alignas(8) BYTE bytes[SECURITY_MAX_SID_SIZE];
};

TEST(PipeSecurityDescriptor, CopyOfAnAbsoluteDescriptorOwesNothingToTheOriginal) {
  // The form a caller builds by hand: absolute, with a present null DACL.
  WellKnownSid world(WinWorldSid), administrators(WinBuiltinAdministratorsSid);
  SECURITY_DESCRIPTOR original;
  ASSERT_TRUE(InitializeSecurityDescriptor(&original, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&original, TRUE, nullptr, FALSE));
  ASSERT_TRUE(SetSecurityDescriptorOwner(&original, world.get(), TRUE));
  ASSERT_TRUE(SetSecurityDescriptorGroup(&original, administrators.get(), FALSE));
  auto copy = SecurityDescriptor::copy_of(&original);
  ASSERT_TRUE(copy) << copy.error().message();

  ACL empty;
  ASSERT_TRUE(InitializeAcl(&empty, sizeof empty, ACL_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&original, TRUE, &empty, FALSE));
  ASSERT_TRUE(SetSecurityDescriptorOwner(&original, nullptr, FALSE));
  std::fill(std::begin(world.bytes), std::end(world.bytes), BYTE{0});

  BOOL present = FALSE, defaulted = TRUE;
  PACL dacl = &empty;
  ASSERT_TRUE(GetSecurityDescriptorDacl(copy->get(), &present, &dacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_EQ(dacl, nullptr);
  EXPECT_FALSE(defaulted);
  PSID owner = nullptr, group = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorOwner(copy->get(), &owner, &defaulted));
  ASSERT_NE(owner, nullptr);
  EXPECT_TRUE(IsWellKnownSid(owner, WinWorldSid));
  EXPECT_TRUE(defaulted);
  ASSERT_TRUE(GetSecurityDescriptorGroup(copy->get(), &group, &defaulted));
  ASSERT_NE(group, nullptr);
  EXPECT_TRUE(IsWellKnownSid(group, WinBuiltinAdministratorsSid));
  EXPECT_FALSE(defaulted);
}

TEST_F(PipeTransportTest, ClientArrivingWhileBusyIsServedByTheNextAccept) {
  const auto listener = listen();
  const UniqueFile first = open_client(name_);
  ASSERT_TRUE(first);
  client_write(first, "one\n");
  auto busy = accept(*listener);
  ASSERT_NE(busy, nullptr);
  const UniqueFile second = open_client(name_);
  ASSERT_TRUE(second) << GetLastError();
  client_write(second, "two\n");
  EXPECT_EQ(read_line(*busy).value_or("error"), "one\n");
  busy.reset();
  const auto started = Clock::now();
  const auto next = accept(*listener);
  ASSERT_NE(next, nullptr);
  EXPECT_LT(Clock::now() - started, 1s);
  EXPECT_EQ(read_line(*next).value_or("error"), "two\n");
}

TEST_F(PipeTransportTest, AcceptThatCannotCreateTheNextInstanceHandsOutTheClientLater) {
  const auto listener = listen(2);
  const UniqueFile first = open_client(name_);
  client_write(first, "first\n");
  auto held = accept(*listener);
  ASSERT_NE(held, nullptr);
  const UniqueFile second = open_client(name_);
  ASSERT_TRUE(second);
  client_write(second, "second\n");
  auto refused = listener->accept();  // both instances taken, no third one allowed
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), system_error_message(ERROR_PIPE_BUSY));
  held.reset();
  const auto next = accept(*listener);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(read_line(*next).value_or("error"), "second\n");
}

TEST_F(PipeTransportTest, RequestLongerThanTheReadBufferIsReadWhole) {
  const auto listener = listen();
  const UniqueFile client = open_client(name_);
  std::string request(20'000, 'A');
  request += "\n";
  // The pipe buffers 512 bytes, so the client's write completes only as the server reads.
  std::thread writer([&] { client_write(client, request); });
  const auto connection = accept(*listener);
  const auto line = read_line(*connection);
  writer.join();
  ASSERT_TRUE(line) << line.error().message();
  EXPECT_EQ(*line, request);
}

// Lines beyond the free 64 KiB share what the budget leaves, here room for one more 64 KiB: the
// second such line is read on only once the worker takes the first.
TEST_F(PipeTransportTest, LongLinesWaitForBudgetUntilTheWorkerTakesOne) {
  const auto listener = listen();
  const std::string request = std::string(100'000, 'A') + "\n";
  std::vector<UniqueFile> clients;
  std::vector<std::thread> writers;
  std::atomic<int> written{0};
  for (int i = 0; i < 2; ++i) {
    clients.push_back(open_client(name_));
    writers.emplace_back([&, i] {
      client_write(clients[i], request);
      ++written;
    });
  }
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(written, 1);  // the other line waits, and so does its client
  const auto first = accept(*listener);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(read_line(*first).value_or("error"), request);
  const auto second = accept(*listener);
  ASSERT_NE(second, nullptr);
  for (auto& writer : writers) writer.join();
  EXPECT_EQ(read_line(*second).value_or("error"), request);
}

TEST_F(PipeTransportTest, ClientClosingBeforeItsLineFeedEndsTheLine) {
  const auto listener = listen();
  const struct {
    std::string_view sent;
    bool closed_at_once;  // else while the line is being read
  } cases[] = {{"abc", false}, {"", false}, {"abc", true}, {"", true}, {"partial line", true}};
  for (const auto& c : cases) {
    UniqueFile client = open_client(name_);
    ASSERT_TRUE(client);
    if (!c.sent.empty()) client_write(client, c.sent);
    if (c.closed_at_once) client.reset();
    std::thread closer([&] {
      std::this_thread::sleep_for(200ms);
      client.reset();
    });
    const auto connection = accept(*listener);
    closer.join();
    ASSERT_NE(connection, nullptr) << c.sent;
    EXPECT_EQ(read_line(*connection).value_or("error"), c.sent) << c.closed_at_once;
  }
}

TEST_F(PipeTransportTest, ConnectionDroppedWithoutWritingIsClosedAtOnce) {
  const auto listener = listen();
  const UniqueFile client = open_client(name_);
  client_write(client, "request\n");
  auto connection = accept(*listener);
  ASSERT_EQ(read_line(*connection).value_or("error"), "request\n");
  ASSERT_TRUE(client_connected(client));
  connection.reset();
  EXPECT_FALSE(client_connected(client));
  EXPECT_EQ(limbo_->keepers_started(), 0u);
}

TEST(PipeTimeoutText, NamesTheDeadline) {
  const struct {
    std::chrono::milliseconds deadline;
    std::string text;
  } cases[] = {{5000ms, "timed out after 5 seconds"},
               {1000ms, "timed out after 1 second"},
               {250ms, "timed out after 250 milliseconds"},
               {1500ms, "timed out after 1500 milliseconds"}};
  for (const auto& c : cases) EXPECT_EQ(timeout_text(c.deadline), c.text);
}

TEST_F(PipeTransportTest, DeadlinesEndTheReadAndTheWrite) {
  // The deadline passes while the line is read ahead, or while it waits for budget (a line may
  // hold 4 bytes freely, and there is nothing more to share).
  for (const std::size_t free_read_ahead : {kFreeReadAhead, std::size_t{4}}) {
    SCOPED_TRACE(free_read_ahead);
    name_ = unique_name();
    const auto listener = listen(0, 300ms, free_read_ahead, free_read_ahead == 4 ? 0 : 64 * 1024);
    const UniqueFile client = open_client(name_);
    client_write(client, "no line feed");
    const auto started = Clock::now();
    const auto connection = accept(*listener);
    const auto line = read_line(*connection);
    const auto waited = Clock::now() - started;
    ASSERT_FALSE(line);
    EXPECT_EQ(line.error().message(), "timed out after 300 milliseconds");
    EXPECT_GE(waited, 250ms);
    EXPECT_LT(waited, 3s);
    // A cancelled read leaves the pipe usable; an answer the client does not take ends at the
    // write deadline.
    EXPECT_TRUE(connection->connection->write_all("late\n"));
    const auto writing = Clock::now();
    const auto unread = connection->connection->write_all(std::string(64 * 1024, 'x'));
    ASSERT_FALSE(unread);
    EXPECT_EQ(unread.error().message(), "timed out after 300 milliseconds");
    EXPECT_GE(Clock::now() - writing, 250ms);
  }
}

TEST_F(PipeTransportTest, LinesAreServedInTheOrderTheyComplete) {
  const auto listener = listen();
  std::vector<UniqueFile> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(open_client(name_));
  // The last client to connect finishes first; the first one sends more than 64 KiB, then the
  // rest of its line in small pieces.
  const std::string padding(64 * 1024 + 1, ' ');
  client_write(clients[2], "third\n");
  std::this_thread::sleep_for(100ms);
  client_write(clients[1], "second\n");
  for (const std::string& piece : {padding + "fi", std::string("r"), std::string("st\n")}) {
    std::this_thread::sleep_for(100ms);
    client_write(clients[0], piece);
  }
  for (const std::string& expected :
       {std::string("third\n"), std::string("second\n"), padding + "first\n"}) {
    const auto connection = accept(*listener);
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(read_line(*connection).value_or("error"), expected);
  }
}

class IgnoringHandlers final : public service::CommandHandlers {
 public:
  service::Answer connect(const protocol::Config&) override { return {protocol::Disconnected{}}; }
  service::Answer disconnect() override { return {protocol::Disconnected{}}; }
  service::Answer info() override { return {protocol::Disconnected{}}; }
};

// The production deadline once, through the request loop: a silent client is dropped with the
// loop's line and the next client is served.
TEST_F(PipeTransportTest, SilentClientIsDroppedAfterFiveSecondsAndTheNextOneServed) {
  auto log = std::make_shared<testing::MemoryLog>();
  service::WorkerState state(listen(), log, std::make_unique<IgnoringHandlers>());
  const UniqueFile silent = open_client(name_);
  const auto started = Clock::now();
  service::serve_next(state);
  EXPECT_GE(Clock::now() - started, 4900ms);
  EXPECT_FALSE(client_connected(silent));
  const UniqueFile next = open_client(name_);
  client_write(next, "!\n");
  service::serve_next(state);
  ASSERT_EQ(log->lines.size(), 3u);
  EXPECT_EQ(log->lines[0], "Failed to read incoming message: timed out after 5 seconds");
  EXPECT_EQ(log->lines[1], "Received message: !");
  EXPECT_TRUE(log->lines[2].starts_with("Failed to decode incoming message: ")) << log->lines[2];
}

TEST_F(PipeTransportTest, MisuseFaultsWithItsText) {
  const std::string limbo =
      "attempt to perform operation on pipe stream which has been sent off to limbo";
  const struct {
    const char* what;
    std::function<void(PipeConnection&)> action;
    std::string fault;
  } cases[] = {
      {"write", [](PipeConnection& c) { (void)c.write_all("x"); }, limbo},
      {"bury", [](PipeConnection& c) { c.bury(); }, "attempt to bury same pipe stream twice"},
  };
  const auto listener = listen();
  for (const auto& c : cases) {
    const UniqueFile client = open_client(name_);
    client_write(client, "x\n");
    auto connection = accept(*listener);
    auto& pipe = dynamic_cast<PipeConnection&>(*connection->connection);
    pipe.bury();
    EXPECT_EQ(fault_text([&] { c.action(pipe); }), c.fault) << c.what;
  }
}

TEST_F(PipeTransportTest, SecondOperationDuringABlockedWriteFaults) {
  const auto listener = listen(0, 10s);
  const UniqueFile client = open_client(name_);
  client_write(client, "d\n");
  const auto connection = accept(*listener);
  // More than the pipe buffers: the write waits until the client reads.
  const std::string answer(4096, 'a');
  std::thread writer([&] { (void)connection->connection->write_all(answer); });
  std::this_thread::sleep_for(300ms);  // the writer is blocked by now
  const std::string concurrent =
      "concurrent I/O with a named pipe attempted \u2013 this leads to deadlocks due to the "
      "synchronization used by named pipes on Windows internally, and was prevented because it "
      "would have caused a deadlock";
  EXPECT_EQ(fault_text([&] { (void)connection->connection->write_all("x"); }), concurrent);
  std::string received(answer.size(), '\0');
  for (DWORD at = 0, count = 0; at < received.size(); at += count) {
    ASSERT_TRUE(ReadFile(client.get(), received.data() + at,
                         static_cast<DWORD>(received.size() - at), &count, nullptr));
  }
  writer.join();
  EXPECT_EQ(received, answer);
}

// An exception escaping the read-ahead thread (here from making the next instance once a client
// connected) ends the service as the worker's end does, where it used to end the process.
TEST(PipeReadAheadThread, AnEscapingExceptionEndsTheServiceAsTheWorkersEndDoes) {
  auto barrier = std::make_shared<service::FaultBarrier>();
  service::FaultBarrier::install(barrier);
  const std::wstring name = unique_name();
  const std::wstring path = std::wstring(kPipePrefix) + name;
  UniqueFile first(CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                    PIPE_TYPE_BYTE, PIPE_UNLIMITED_INSTANCES, 512, 512, 0,
                                    nullptr));
  ASSERT_TRUE(first);
  auto read_ahead = ReadAhead::start(
      std::move(first), []() -> UniqueFile { throw Fault("no instance", Fault::Origin::kFixed); },
      {kReadDeadline, kMaxPendingConnections, kReadAheadBudget, kFreeReadAhead});
  ASSERT_TRUE(read_ahead) << read_ahead.error().message();
  const UniqueFile client = open_client(name);
  ASSERT_TRUE(client);
  const auto until = Clock::now() + 5s;
  while (!barrier->ended() && Clock::now() < until) std::this_thread::sleep_for(10ms);
  set_thread_barrier({});
  ASSERT_TRUE(barrier->ended());
  EXPECT_EQ(service::describe_worker_end(barrier->what_ended()), R"(Some("no instance"))");
}

}  // namespace
}  // namespace kesta::pipe
