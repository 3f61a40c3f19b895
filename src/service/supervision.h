#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "core/fault.h"
#include "service/log.h"
#include "service/stop_channel.h"

namespace kesta::service {

// What ended the worker thread: its Fault, or nothing when it returned or threw anything else.
struct WorkerEnd {
  std::optional<Fault> fault;
};

// "Some(\"text\")" for a fault with a fixed description, "None" for a composed one or none.
std::string describe_worker_end(const WorkerEnd& end);

// The worker thread with a non-blocking "has it finished?". The body runs until it ends through
// a fault; the fault is kept for whoever joins.
class WorkerThread {
 public:
  // Throws std::system_error when the thread cannot be created.
  explicit WorkerThread(std::move_only_function<void()> body);
  // Lets a still running thread go on serving; the end of the process ends it.
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  bool finished() const noexcept;
  // Only once finished() is true.
  WorkerEnd join();

 private:
  struct Shared {
    std::atomic<bool> finished{false};
    WorkerEnd end;  // written by the thread before `finished` is set
  };

  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

// How the supervision ended, and the exit code the final status carries.
enum class SupervisionEnd { kStopped, kWorkerDied };
std::uint32_t exit_code_of(SupervisionEnd end);

// Watches the worker and the stop channel: every `period` it checks whether the worker has
// ended, and otherwise waits for a stop. Writes "Service stopped", or the two lines about the
// worker's end.
SupervisionEnd supervise(WorkerThread& worker, StopReceiver& stop, Log& log,
                         std::chrono::milliseconds period = std::chrono::seconds(1));

}  // namespace kesta::service
