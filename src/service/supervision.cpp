#include "service/supervision.h"

#include <exception>
#include <utility>

#include "core/escape.h"

namespace kesta::service {

std::string describe_worker_end(const WorkerEnd& end) {
  if (!end.fault || end.fault->origin() != Fault::Origin::kFixed) return "None";
  std::string out = "Some(";
  append_quoted(out, end.fault->description());
  out.push_back(')');
  return out;
}

WorkerThread::WorkerThread(std::move_only_function<void()> body)
    : shared_(std::make_shared<Shared>()) {
  // The thread keeps its own reference: it may outlive this object when it is let go.
  thread_ = std::thread([shared = shared_, body = std::move(body)]() mutable {
    try {
      body();
    } catch (const Fault& fault) {
      shared->end.fault = fault;
    } catch (...) {
      // Anything else carries no description worth reporting.
    }
    shared->finished.store(true, std::memory_order_release);
  });
}

WorkerThread::~WorkerThread() {
  if (thread_.joinable()) thread_.detach();
}

bool WorkerThread::finished() const noexcept {
  return shared_->finished.load(std::memory_order_acquire);
}

WorkerEnd WorkerThread::join() {
  if (thread_.joinable()) thread_.join();
  return std::move(shared_->end);
}

std::uint32_t exit_code_of(SupervisionEnd end) {
  return end == SupervisionEnd::kStopped ? 0 : 2;
}

SupervisionEnd supervise(WorkerThread& worker, StopReceiver& stop, Log& log,
                         std::chrono::milliseconds period) {
  while (true) {
    if (worker.finished()) {
      log.write_line("Wireguard thread stopped unexpectedly");
      const WorkerEnd end = worker.join();
      log.write_line("Wireguard thread stopped with panic: " + describe_worker_end(end));
      return SupervisionEnd::kWorkerDied;
    }
    if (stop.wait_until(std::chrono::steady_clock::now() + period) != StopWait::kTimedOut) {
      log.write_line("Service stopped");
      return SupervisionEnd::kStopped;
    }
  }
}

}  // namespace kesta::service
