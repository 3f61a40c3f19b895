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

void FaultBarrier::install(const std::shared_ptr<FaultBarrier>& barrier) {
  set_thread_barrier([barrier](std::move_only_function<void()>& body) { barrier->run(body); });
}

void FaultBarrier::run(std::move_only_function<void()>& body) noexcept {
  try {
    try {
      body();
    } catch (const Fault& fault) {
      end({fault});
    } catch (...) {
      // Anything else carries no description worth reporting.
      end({});
    }
  } catch (...) {
    // Keeping the end failed (no memory for its copy): the thread ends all the same.
  }
}

void FaultBarrier::end(WorkerEnd end) {
  std::function<void()> wake;
  {
    const std::lock_guard lock(mutex_);
    if (ended_.load(std::memory_order_relaxed)) return;
    end_ = std::move(end);
    ended_.store(true, std::memory_order_release);
    wake = std::move(wake_);
  }
  if (wake) wake();
}

bool FaultBarrier::ended() const noexcept {
  return ended_.load(std::memory_order_acquire);
}

void FaultBarrier::on_end(std::function<void()> wake) {
  {
    const std::lock_guard lock(mutex_);
    if (!ended()) {
      wake_ = std::move(wake);
      return;
    }
  }
  wake();
}

const WorkerEnd& FaultBarrier::what_ended() const noexcept {
  return end_;
}

WorkerThread::WorkerThread(std::move_only_function<void()> body, std::size_t stack,
                           std::shared_ptr<FaultBarrier> barrier)
    : barrier_(std::move(barrier)), returned_(std::make_shared<std::atomic<bool>>(false)) {
  // The thread keeps its own references: it may outlive this object when it is let go.
  thread_ =
      Thread(stack, [barrier = barrier_, returned = returned_, body = std::move(body)]() mutable {
        barrier->run(body);
        returned->store(true, std::memory_order_release);
        // A body that returned ends the service too; after a fault this changes nothing.
        try {
          barrier->end({});
        } catch (...) {
          // As in run(): the thread ends all the same.
        }
      });
}

WorkerThread::~WorkerThread() {
  if (thread_.joinable()) thread_.detach();
}

bool WorkerThread::finished() const noexcept {
  return barrier_->ended();
}

void WorkerThread::on_finish(std::function<void()> wake) {
  barrier_->on_end(std::move(wake));
}

WorkerEnd WorkerThread::join() {
  // Another thread's end leaves the worker serving; the end of the process ends it.
  if (returned_->load(std::memory_order_acquire) && thread_.joinable()) thread_.join();
  return barrier_->what_ended();
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
