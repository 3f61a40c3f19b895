#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/messages.h"
#include "wireguard_sim/wireguard_sim.h"

namespace kesta::e2e {

// Closes a service control manager handle.
struct ScHandle {
  SC_HANDLE handle = nullptr;
  ScHandle() = default;
  explicit ScHandle(SC_HANDLE h) : handle(h) {}
  ~ScHandle();
  ScHandle(ScHandle&& other) noexcept : handle(std::exchange(other.handle, nullptr)) {}
  ScHandle& operator=(ScHandle&& other) noexcept;
  explicit operator bool() const { return handle != nullptr; }
};

// The folder of this test program (build/<preset>/bin) and of the simulators beside it.
std::filesystem::path own_directory();
std::filesystem::path sim_directory();

// The service's log, as a service started in the system directory writes it.
std::filesystem::path service_log_path();
std::string read_shared(const std::filesystem::path& path);

// One installation of redevuva_service, run from a folder of its own under sim/runs/ with the
// simulated libraries beside it. Removes any earlier installation first and its own at the end.
class ServiceRun {
 public:
  struct Options {
    bool with_wireguard = true;
  };
  explicit ServiceRun(Options options);
  ~ServiceRun();

  const std::filesystem::path& folder() const { return folder_; }
  void write(const char* file, const std::string& text) const;
  std::vector<wgsim::JournalEntry> journal(const char* file) const;

  // Starts the service and waits until it leaves START_PENDING.
  SERVICE_STATUS_PROCESS start();
  // Sends Stop, waits for STOPPED and for the process to end.
  SERVICE_STATUS_PROCESS stop();
  // Waits until the service reports `state`, at most `limit`.
  SERVICE_STATUS_PROCESS wait_for(DWORD state, std::chrono::seconds limit);
  SERVICE_STATUS_PROCESS query();
  // Sends a control; 0 when the manager accepted it, else its error code.
  DWORD control(DWORD code);
  // Waits for the service's last process to end.
  void wait_for_process_exit();

 private:
  std::filesystem::path folder_;
  ScHandle manager_;
  ScHandle service_;
  HANDLE process_ = nullptr;
};

// A folder of its own for the running test under sim/runs/, holding a copy of the service and
// the simulated IP Helper (selected for the service by the prefix's registry), and the
// simulated wireguard.dll when asked.
std::filesystem::path prepare_run_folder(bool with_wireguard);

// Stops and deletes an installation left by an earlier run.
void remove_service(SC_HANDLE manager);

// One client connection: writes `line`, then reads until the service ends the connection.
struct Exchange {
  bool connected = false;
  std::string reply;
};
Exchange exchange(std::string_view line);
// The same for bytes the service may stop reading before they are all written (a line it
// refuses): what it did not take is not a failure.
Exchange exchange_bytes(std::string_view bytes);

// 0 when a client can open the pipe now (the connection is closed again at once), else the
// error of the open.
DWORD pipe_open_error();

// A client that connects and keeps quiet until it is destroyed.
class SilentClient {
 public:
  SilentClient();
  ~SilentClient();
  bool connected() const { return pipe_ != INVALID_HANDLE_VALUE; }
  // Writes `bytes` and stays quiet after that.
  bool write(std::string_view bytes);
  // How many bytes the service has written that this client has not read, or, once the
  // service has ended the connection, the error that says so.
  struct Unread {
    DWORD bytes = 0;
    DWORD error = 0;
  };
  Unread unread() const;
  // Reads until the service ends the connection; what it got.
  std::string read_to_end();

 private:
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
};

// Sends a command and decodes the reply; a failure as the text of a gtest failure.
std::optional<protocol::Response> request(const protocol::Command& command);

protocol::Config tunnel_config();

}  // namespace kesta::e2e
