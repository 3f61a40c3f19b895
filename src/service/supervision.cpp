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

WorkerThread::WorkerThread(std::move_only_function<void()> body, std::size_t stack)
    : shared_(std::make_shared<Shared>()) {
  // The thread keeps its own reference: it may outlive this object when it is let go.
  thread_ = Thread(stack, [shared = shared_, body = std::move(body)]() mutable {
    try {
      body();
    } catch (const Fault& fault) {
      shared->end.fault = fault;
    } catch (...) {
      // Anything else carries no description worth reporting.
    }
    std::function<void()> wake;
    {
      const std::lock_guard lock(shared->mutex);
      shared->finished.store(true, std::memory_order_release);
      wake = std::move(shared->wake);
    }
    if (wake) wake();
  });
}

WorkerThread::~WorkerThread() {
  if (thread_.joinable()) thread_.detach();
}

bool WorkerThread::finished() const noexcept {
  return shared_->finished.load(std::memory_order_acquire);
}

void WorkerThread::on_finish(std::function<void()> wake) {
  {
    const std::lock_guard lock(shared_->mutex);
    if (!shared_->finished.load(std::memory_order_acquire)) {
      shared_->wake = std::move(wake);
      return;
    }
  }
  wake();
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
  // An idle service then sleeps until something happens, instead of waking to look.
  worker.on_finish(stop.waker());
  while (true) {
    if (worker.finished()) {
      log.write_line("Wireguard thread stopped unexpectedly");
      const WorkerEnd end = worker.join();
      log.write_line("Wireguard thread stopped with panic: " + describe_worker_end(end));
      return SupervisionEnd::kWorkerDied;
    }
    const auto deadline = period == std::chrono::milliseconds::max()
                              ? std::chrono::steady_clock::time_point::max()
                              : std::chrono::steady_clock::now() + period;
    const StopWait waited = stop.wait_until(deadline);
    if (waited == StopWait::kMessage || waited == StopWait::kClosed) {
      log.write_line("Service stopped");
      return SupervisionEnd::kStopped;
    }
  }
}

}  // namespace kesta::service
