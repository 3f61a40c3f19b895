#include <windows.h>

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pipe/pipe_listener_win.h"

namespace kesta::pipe {
namespace {

using namespace std::chrono_literals;

using GetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PWSTR*);

GetThreadDescriptionFn get_thread_description() {
  return reinterpret_cast<GetThreadDescriptionFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
}

// The names of this process's threads that start with "limbo keeper ".
std::multiset<std::wstring> keeper_names() {
  std::multiset<std::wstring> names;
  const auto describe = get_thread_description();
  const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more;
       more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
    const UniqueHandle thread(
        OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID));
    PWSTR name = nullptr;
    if (!thread || FAILED(describe(thread.get(), &name))) continue;
    if (std::wstring_view(name).starts_with(L"limbo keeper ")) names.emplace(name);
    LocalFree(name);
  }
  return names;
}

std::wstring unique_name() {
  static int count = 0;
  return L"kesta_limbo_test_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
         std::to_wstring(++count);
}

bool client_connected(const UniqueFile& client) {
  DWORD available = 0;
  return PeekNamedPipe(client.get(), nullptr, 0, nullptr, &available, nullptr);
}

DWORD bytes_waiting(const UniqueFile& client) {
  DWORD available = 0;
  PeekNamedPipe(client.get(), nullptr, 0, nullptr, &available, nullptr);
  return available;
}

template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit) {
  const auto until = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

class PipeLimboTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto listener = PipeListener::create(
        name_, nullptr, {.instance_limit = 0, .read_deadline = kReadDeadline, .limbo = limbo_});
    ASSERT_TRUE(listener) << listener.error().error.message();
    listener_ = std::move(*listener);
  }

  // A client that has sent its request line.
  UniqueFile requesting_client() {
    const std::wstring path = std::wstring(kPipePrefix) + name_;
    UniqueFile client(CreateFileW(path.c_str(), GENERIC_READ | FILE_WRITE_DATA, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(client) << GetLastError();
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(client.get(), "q\n", 2, &written, nullptr));
    return client;
  }

  // Connects a client, has the server answer it and drop the connection; returns the client
  // and how long the drop took.
  std::pair<UniqueFile, Clock::duration> answered_client(std::string_view answer) {
    UniqueFile client = requesting_client();
    auto connection = listener_->accept();
    EXPECT_TRUE(connection);
    if (!connection) return {std::move(client), Clock::duration::zero()};
    EXPECT_TRUE(connection->connection->write_all(answer));
    const auto started = Clock::now();
    connection->connection.reset();
    return {std::move(client), Clock::now() - started};
  }

  std::wstring name_ = unique_name();
  std::shared_ptr<LimboPool> limbo_ = std::make_shared<LimboPool>(1500ms);
  std::unique_ptr<PipeListener> listener_;
};

TEST_F(PipeLimboTest, ClientReadsTheWholeAnswerAfterTheDrop) {
  const std::string answer = std::string(300, 'r') + "\n";
  const auto [client, drop_time] = answered_client(answer);
  EXPECT_LT(drop_time, 500ms);
  std::this_thread::sleep_for(200ms);
  std::string received(1024, '\0');
  DWORD count = 0;
  ASSERT_TRUE(ReadFile(client.get(), received.data(), 1024, &count, nullptr)) << GetLastError();
  received.resize(count);
  EXPECT_EQ(received, answer);
  // Once the client has read everything the keeper disconnects it without waiting longer.
  EXPECT_TRUE(eventually([&] { return !client_connected(client); }, 1000ms));
}

TEST_F(PipeLimboTest, AnswerNobodyReadsHoldsAKeeperUntilTheFlushDeadline) {
  const auto started = Clock::now();
  const auto [client, drop_time] = answered_client("unread answer\n");
  EXPECT_LT(drop_time, 500ms);  // the writer does not wait for the client
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(client_connected(client));
  EXPECT_EQ(bytes_waiting(client), 14u);
  EXPECT_EQ(limbo_->keepers_started(), 1u);
  EXPECT_TRUE(eventually([&] { return !client_connected(client); }, 5000ms));
  EXPECT_GE(Clock::now() - started, 1400ms);
}

// Beside one client that does not read, or beside more of them than there are pooled keepers.
TEST_F(PipeLimboTest, AReaderIsNeverHeldBehindAnotherClientsFlush) {
  for (const int unread_count : {1, 20}) {
    SCOPED_TRACE(unread_count);
    std::vector<UniqueFile> unread;
    for (int i = 0; i < unread_count; ++i)
      unread.push_back(answered_client("unread answer\n").first);
    std::this_thread::sleep_for(100ms);  // keepers are flushing to clients that do not read
    const auto [reader, reader_drop] = answered_client("answer\n");
    std::string received;
    char buffer[64];
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(reader.get(), buffer, sizeof buffer, &count, nullptr));
    received.assign(buffer, count);
    const auto answered = Clock::now();
    // Reads until the end of the stream, as "read everything" helpers do.
    while (ReadFile(reader.get(), buffer, sizeof buffer, &count, nullptr) && count > 0) {
    }
    EXPECT_EQ(received, "answer\n");
    EXPECT_LT(Clock::now() - answered, 100ms);
    EXPECT_TRUE(client_connected(unread.front()));
  }
}

TEST_F(PipeLimboTest, SequentialAnswersReuseTheFirstKeeper) {
  for (int i = 0; i < 5; ++i) {
    const auto [client, drop_time] = answered_client("answer\n");
    char buffer[16];
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(client.get(), buffer, sizeof buffer, &count, nullptr));
    ASSERT_TRUE(eventually([&] { return !client_connected(client); }, 1000ms));
  }
  EXPECT_EQ(limbo_->keepers_started(), 1u);
  EXPECT_EQ(limbo_->pooled_keepers(), 1u);
}

TEST_F(PipeLimboTest, SixteenPooledKeepersThenExtraOnesAllNamed) {
  // Each keeper holds one instance, so 33 unread answers outgrow the pool.
  std::vector<UniqueFile> clients;
  for (int i = 0; i < 33; ++i) clients.push_back(answered_client("unread\n").first);
  const std::size_t started = limbo_->keepers_started();
  EXPECT_EQ(limbo_->pooled_keepers(), LimboPool::kPooledKeepers);
  EXPECT_GE(started, LimboPool::kPooledKeepers + 1);
  if (get_thread_description() == nullptr) {
    GTEST_SKIP() << "this system has no thread descriptions";
  }
  std::multiset<std::wstring> expected;
  for (std::size_t n = 1; n <= started; ++n) expected.insert(L"limbo keeper " + std::to_wstring(n));
  // Each keeper names itself as it starts, so the newest ones may need a moment.
  EXPECT_TRUE(eventually([&] { return keeper_names() == expected; }, 1000ms));
  EXPECT_EQ(keeper_names(), expected);

  for (const auto& client : clients) {
    EXPECT_TRUE(eventually([&] { return !client_connected(client); }, 10s));
  }
  // Extra keepers end once their instance is closed; the pooled ones stay for reuse.
  EXPECT_TRUE(eventually([] { return keeper_names().size() == LimboPool::kPooledKeepers; }, 5s));
  limbo_.reset();
  listener_.reset();
  EXPECT_TRUE(keeper_names().empty());
}

TEST_F(PipeLimboTest, BeyondEverySlotUnreadAnswersAreClosedAtOnceAndStayReadable) {
  listener_.reset();
  limbo_ = std::make_shared<LimboPool>(5s, 2);
  SetUp();
  // Each pooled keeper holds one instance and one pending; each extra one holds one.
  constexpr std::size_t kHeld = 2 * LimboPool::kPooledKeepers + 2;
  std::vector<UniqueFile> clients;
  for (std::size_t i = 0; i < kHeld + 3; ++i) clients.push_back(answered_client("unread\n").first);
  EXPECT_EQ(limbo_->keepers_started(), LimboPool::kPooledKeepers + 2);
  // Those beyond were closed without a disconnect: each can still read its answer, then the end.
  for (std::size_t i = kHeld; i < clients.size(); ++i) {
    char buffer[16];
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(clients[i].get(), buffer, sizeof buffer, &count, nullptr)) << i;
    EXPECT_EQ(std::string(buffer, count), "unread\n") << i;
    EXPECT_FALSE(ReadFile(clients[i].get(), buffer, sizeof buffer, &count, nullptr)) << i;
  }
  for (std::size_t i = 0; i < kHeld; ++i) EXPECT_TRUE(client_connected(clients[i])) << i;

  // A client that reads its answer as it comes still gets it.
  const UniqueFile reader = requesting_client();
  auto connection = listener_->accept();
  ASSERT_TRUE(connection);
  std::string received(64, '\0');
  DWORD count = 0;
  std::thread client([&] { ReadFile(reader.get(), received.data(), 64, &count, nullptr); });
  std::this_thread::sleep_for(100ms);  // the client waits in its read, as a client does
  ASSERT_TRUE(connection->connection->write_all("answer\n"));
  client.join();
  connection->connection.reset();
  received.resize(count);
  EXPECT_EQ(received, "answer\n");
  EXPECT_EQ(limbo_->keepers_started(), LimboPool::kPooledKeepers + 2);
}

}  // namespace
}  // namespace kesta::pipe
