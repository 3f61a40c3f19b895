#include "service_harness.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "core/error.h"
#include "protocol/decode.h"
#include "protocol/encode.h"

namespace kesta::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const wchar_t* kServiceName = L"redevuva_service";
constexpr const wchar_t* kPipePath = L"\\\\.\\pipe\\redevuva.sock";

std::string last_error_text() {
  return system_error_message(GetLastError());
}

// Wine's own iphlpapi.dll aborts on the calls the service makes. services.exe starts the
// service, and Wine hands no WINEDLLOVERRIDES to a child, so the override goes into the
// prefix's per-program registry key.
void select_native_iphlpapi() {
  const wchar_t value[] = L"native";
  const LSTATUS status = RegSetKeyValueW(
      HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\redevuva_service.exe\\DllOverrides",
      L"iphlpapi", REG_SZ, value, sizeof value);
  ASSERT_EQ(status, ERROR_SUCCESS) << system_error_message(static_cast<std::uint32_t>(status));
}

// Opens the pipe, waiting while the service is between instances.
HANDLE open_pipe() {
  const auto give_up = std::chrono::steady_clock::now() + 20s;
  while (true) {
    const HANDLE pipe =
        CreateFileW(kPipePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) return pipe;
    const DWORD error = GetLastError();
    if (std::chrono::steady_clock::now() > give_up) {
      ADD_FAILURE() << "cannot open the pipe: " << system_error_message(error);
      return INVALID_HANDLE_VALUE;
    }
    if (error == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(kPipePath, 2000);
    } else {
      std::this_thread::sleep_for(20ms);
    }
  }
}

std::string read_until_end(HANDLE pipe) {
  std::string reply;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    reply.append(buffer, read);
  }
  return reply;
}

}  // namespace

ScHandle::~ScHandle() {
  if (handle != nullptr) CloseServiceHandle(handle);
}

ScHandle& ScHandle::operator=(ScHandle&& other) noexcept {
  if (this != &other) {
    if (handle != nullptr) CloseServiceHandle(handle);
    handle = std::exchange(other.handle, nullptr);
  }
  return *this;
}

fs::path own_directory() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return fs::path(std::wstring(path, length)).parent_path();
}

fs::path sim_directory() {
  return own_directory().parent_path() / "sim";
}

fs::path service_log_path() {
  return L"C:\\redevuva_service.log";
}

std::string read_shared(const fs::path& path) {
  // The service keeps the file open; it shares it for reading, writing and deleting.
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string text;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    text.append(buffer, read);
  }
  CloseHandle(file);
  return text;
}

void remove_service(SC_HANDLE manager) {
  ScHandle service(OpenServiceW(manager, kServiceName, SERVICE_ALL_ACCESS));
  if (!service) return;
  SERVICE_STATUS status{};
  if (ControlService(service.handle, SERVICE_CONTROL_STOP, &status)) {
    for (int i = 0; i < 500 && status.dwCurrentState != SERVICE_STOPPED; ++i) {
      std::this_thread::sleep_for(20ms);
      if (!QueryServiceStatus(service.handle, &status)) break;
    }
  }
  DeleteService(service.handle);
}

fs::path prepare_run_folder(bool with_wireguard) {
  // Named after the running test; a program outside any test (a benchmark) gets one folder.
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name =
      test ? std::string(test->test_suite_name()) + "." + test->name() : std::string("program");
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  const fs::path folder = sim_directory() / "runs" / name;
  select_native_iphlpapi();
  fs::remove_all(folder);
  fs::create_directories(folder);
  fs::copy_file(own_directory() / "redevuva_service.exe", folder / "redevuva_service.exe");
  fs::copy_file(sim_directory() / "iphlpapi.dll", folder / "iphlpapi.dll");
  if (with_wireguard) fs::copy_file(sim_directory() / "wireguard.dll", folder / "wireguard.dll");
  return folder;
}

ServiceRun::ServiceRun(Options options) {
  manager_ = ScHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager_) {
    ADD_FAILURE() << "OpenSCManagerW: " << last_error_text();
    return;
  }
  remove_service(manager_.handle);
  folder_ = prepare_run_folder(options.with_wireguard);

  const std::wstring command = L"\"" + (folder_ / "redevuva_service.exe").wstring() + L"\"";
  service_ =
      ScHandle(CreateServiceW(manager_.handle, kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                              command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service_) ADD_FAILURE() << "CreateServiceW: " << last_error_text();
}

ServiceRun::~ServiceRun() {
  if (service_) {
    SERVICE_STATUS status{};
    if (query().dwCurrentState != SERVICE_STOPPED) {
      ControlService(service_.handle, SERVICE_CONTROL_STOP, &status);
      wait_for(SERVICE_STOPPED, 30s);
    }
    wait_for_process_exit();
    DeleteService(service_.handle);
  }
  if (process_ != nullptr) CloseHandle(process_);
}

void ServiceRun::write(const char* file, const std::string& text) const {
  std::ofstream(folder_ / file, std::ios::binary) << text;
}

std::vector<wgsim::JournalEntry> ServiceRun::journal(const char* file) const {
  std::vector<wgsim::JournalEntry> entries;
  std::istringstream lines(read_shared(folder_ / file));
  for (std::string line; std::getline(lines, line);) {
    auto entry = wgsim::JournalEntry::parse(line);
    EXPECT_TRUE(entry.has_value()) << line;
    if (entry) entries.push_back(std::move(*entry));
  }
  return entries;
}

SERVICE_STATUS_PROCESS ServiceRun::query() {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service_.handle, SC_STATUS_PROCESS_INFO,
                            reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
    ADD_FAILURE() << "QueryServiceStatusEx: " << last_error_text();
  }
  return status;
}

DWORD ServiceRun::control(DWORD code) {
  SERVICE_STATUS status{};
  return ControlService(service_.handle, code, &status) ? 0 : GetLastError();
}

SERVICE_STATUS_PROCESS ServiceRun::start() {
  if (!StartServiceW(service_.handle, 0, nullptr)) {
    const DWORD error = GetLastError();
    // Wine's StartServiceW fails with ERROR_SERVICE_REQUEST_TIMEOUT when the service reports
    // STOPPED before RUNNING; the status tells what happened.
    if (error != ERROR_SERVICE_REQUEST_TIMEOUT || query().dwCurrentState != SERVICE_STOPPED) {
      ADD_FAILURE() << "StartServiceW: " << system_error_message(error);
    }
    return query();
  }
  const auto give_up = std::chrono::steady_clock::now() + 30s;
  SERVICE_STATUS_PROCESS status = query();
  while (status.dwCurrentState == SERVICE_START_PENDING &&
         std::chrono::steady_clock::now() < give_up) {
    if (process_ == nullptr && status.dwProcessId != 0) {
      process_ = OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId);
    }
    std::this_thread::sleep_for(20ms);
    status = query();
  }
  if (process_ == nullptr && status.dwProcessId != 0) {
    process_ = OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId);
  }
  return status;
}

SERVICE_STATUS_PROCESS ServiceRun::wait_for(DWORD state, std::chrono::seconds limit) {
  const auto give_up = std::chrono::steady_clock::now() + limit;
  SERVICE_STATUS_PROCESS status = query();
  while (status.dwCurrentState != state && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(20ms);
    status = query();
  }
  return status;
}

SERVICE_STATUS_PROCESS ServiceRun::stop() {
  SERVICE_STATUS ignored{};
  if (!ControlService(service_.handle, SERVICE_CONTROL_STOP, &ignored)) {
    ADD_FAILURE() << "ControlService: " << last_error_text();
  }
  const SERVICE_STATUS_PROCESS status = wait_for(SERVICE_STOPPED, 30s);
  wait_for_process_exit();
  return status;
}

void ServiceRun::wait_for_process_exit() {
  if (process_ == nullptr) return;
  if (WaitForSingleObject(process_, 30'000) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "the service process did not end";
  }
  CloseHandle(process_);
  process_ = nullptr;
}

namespace {

Exchange exchange_with(std::string_view bytes, bool all_taken) {
  Exchange result;
  const HANDLE pipe = open_pipe();
  if (pipe == INVALID_HANDLE_VALUE) return result;
  result.connected = true;
  DWORD written = 0;
  if ((!WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
       written != bytes.size()) &&
      all_taken) {
    ADD_FAILURE() << "WriteFile: " << last_error_text();
  }
  result.reply = read_until_end(pipe);
  CloseHandle(pipe);
  return result;
}

}  // namespace

Exchange exchange(std::string_view line) {
  return exchange_with(line, true);
}

Exchange exchange_bytes(std::string_view bytes) {
  return exchange_with(bytes, false);
}

DWORD pipe_open_error() {
  const HANDLE pipe =
      CreateFileW(kPipePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(pipe);
  return 0;
}

SilentClient::SilentClient() : pipe_(open_pipe()) {}

bool SilentClient::write(std::string_view bytes) {
  DWORD written = 0;
  return WriteFile(pipe_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

SilentClient::Unread SilentClient::unread() const {
  Unread result;
  if (!PeekNamedPipe(pipe_, nullptr, 0, nullptr, &result.bytes, nullptr)) {
    result.error = GetLastError();
  }
  return result;
}

SilentClient::~SilentClient() {
  if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
}

std::string SilentClient::read_to_end() {
  return read_until_end(pipe_);
}

std::optional<protocol::Response> request(const protocol::Command& command) {
  const Exchange done = exchange(protocol::encode_command(command));
  auto response = protocol::decode_response(done.reply);
  if (!response) {
    ADD_FAILURE() << "no response (" << response.error() << "): \"" << done.reply << "\"";
    return std::nullopt;
  }
  return *response;
}

protocol::Config tunnel_config() {
  protocol::Config config;
  for (std::size_t i = 0; i < 32; ++i) {
    config.encryption.client_key[i] = static_cast<std::uint8_t>(i + 1);
    config.encryption.server_key[i] = static_cast<std::uint8_t>(0x40 + i);
    config.encryption.shared_key[i] = static_cast<std::uint8_t>(0x80 + i);
  }
  config.endpoint.url = "vpn.example";
  // Where the simulated server listens unless a scenario moves it.
  config.endpoint.ip = {192, 0, 2, 7};
  config.endpoint.port = 51820;
  config.client.ip = {10, 0, 0, 2};
  return config;
}

}  // namespace kesta::e2e
