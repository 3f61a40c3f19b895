#include "pipe/limbo_win.h"

#include <string>
#include <system_error>

namespace kesta::pipe {
namespace {

using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);

// Looked up at run time: the function arrived with Windows 10 and older SDK headers lack it.
void name_current_thread(const std::wstring& name) noexcept {
  static const auto set_description =
      reinterpret_cast<SetThreadDescriptionFn>(reinterpret_cast<void*>(
          GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (set_description != nullptr) set_description(GetCurrentThread(), name.c_str());
}

}  // namespace

void disconnect_and_close(UniqueFile pipe, bool is_server) noexcept {
  // A failed disconnect changes nothing: the handle is closed all the same.
  if (is_server) DisconnectNamedPipe(pipe.get());
  pipe.reset();
}

bool LimboPool::Slot::try_send(std::unique_ptr<Item>& offered, bool only_idle) {
  {
    std::lock_guard lock(mutex);
    if (closed || item || (only_idle && working)) return false;
    item = std::move(offered);
  }
  filled.notify_one();
  return true;
}

void LimboPool::Slot::close() {
  {
    std::lock_guard lock(mutex);
    closed = true;
  }
  filled.notify_one();
}

LimboPool::LimboPool(std::chrono::milliseconds flush_deadline, std::size_t extra_keepers)
    : flush_deadline_(flush_deadline), extra_keepers_(extra_keepers) {
  // Reserved up front so that a hand-over never allocates for its pooled entries.
  slots_.reserve(kPooledKeepers);
  pooled_.reserve(kPooledKeepers);
}

LimboPool::~LimboPool() {
  std::lock_guard lock(mutex_);
  for (const auto& slot : slots_) slot->close();
  for (auto& thread : pooled_) thread.join();
  for (auto& extra : extras_) extra.thread.join();
}

std::shared_ptr<LimboPool> LimboPool::process_pool() {
  // Leaked on purpose: destroying it at exit would wait for clients that are still reading.
  static auto* const pool = new std::shared_ptr<LimboPool>(std::make_shared<LimboPool>());
  return *pool;
}

void LimboPool::hand_over(UniqueFile pipe, bool is_server) noexcept {
  auto item = std::make_unique<Item>(Item{std::move(pipe), is_server});
  std::lock_guard lock(mutex_);
  reap_extras();
  for (const auto& slot : slots_) {
    if (slot->try_send(item, true)) return;
  }
  // A keeper of its own before any pending slot, so that no reader waits behind another's flush.
  if (slots_.size() < kPooledKeepers && start_keeper(item, true)) return;
  if (extras_.size() < extra_keepers_ && start_keeper(item, false)) return;
  for (const auto& slot : slots_) {
    if (slot->try_send(item, false)) return;
  }
  // Every slot is taken: closed without a disconnect, what was written stays readable, so a
  // client that reads its answer still gets it; clients that do not read must not make the
  // service start threads without end.
  item->pipe.reset();
}

bool LimboPool::start_keeper(std::unique_ptr<Item>& item, bool pooled) noexcept {
  auto slot = std::make_shared<Slot>();
  // The new keeper starts on this instance, so its slot is free for the next at once.
  slot->current = std::move(item);
  slot->working = true;
  // An extra keeper gets no entry: its channel is abandoned at once and it ends when empty.
  slot->closed = !pooled;
  const std::size_t number = started_ + 1;
  try {
    if (pooled) {
      pooled_.emplace_back(kSmallStack, [this, slot, number] { keep(*slot, number, nullptr); });
      slots_.push_back(slot);
    } else {
      auto done = std::make_shared<std::atomic<bool>>(false);
      extras_.push_back(Extra{
          Thread(kSmallStack, [this, slot, number, done] { keep(*slot, number, done.get()); }),
          done});
    }
  } catch (const std::exception&) {
    // No keeper could be started: the instance goes on to the next place.
    std::lock_guard slot_lock(slot->mutex);
    item = std::move(slot->current);
    return false;
  }
  started_ = number;
  return true;
}

std::size_t LimboPool::keepers_started() const {
  std::lock_guard lock(mutex_);
  return started_;
}

std::size_t LimboPool::pooled_keepers() const {
  std::lock_guard lock(mutex_);
  return slots_.size();
}

void LimboPool::keep(Slot& slot, std::size_t number, std::atomic<bool>* done) {
  name_current_thread(L"limbo keeper " + std::to_wstring(number));
  const UniqueHandle self = current_thread_handle();
  for (;;) {
    std::unique_ptr<Item> item;
    {
      std::unique_lock lock(slot.mutex);
      slot.filled.wait(lock, [&slot] { return slot.current || slot.item || slot.closed; });
      if (slot.current) {
        item = std::move(slot.current);
      } else if (slot.item) {
        item = std::move(slot.item);
        slot.working = true;
      } else {
        break;
      }
    }
    // Waits until the client has read everything; failures mean it is gone already.
    const auto flush = [&item] { FlushFileBuffers(item->pipe.get()); };
    if (self) {
      deadline_.run_until(self.get(), item->pipe.get(), Clock::now() + flush_deadline_, flush);
    } else {
      flush();
    }
    {
      // Idle again before the disconnect, which never waits for the client.
      std::lock_guard lock(slot.mutex);
      slot.working = false;
    }
    disconnect_and_close(std::move(item->pipe), item->is_server);
  }
  if (done != nullptr) done->store(true);
}

void LimboPool::reap_extras() {
  for (auto it = extras_.begin(); it != extras_.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = extras_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace kesta::pipe
