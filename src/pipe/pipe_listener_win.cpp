#include "pipe/pipe_listener_win.h"

namespace kesta::pipe {
namespace {

constexpr DWORD kBufferSize = 512;
constexpr DWORD kPipeMode =
    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;

std::unexpected<ListenerFailure> failure(Error error, bool name_occupied = false) {
  return std::unexpected(ListenerFailure{std::move(error), name_occupied});
}

}  // namespace

std::expected<std::unique_ptr<PipeListener>, ListenerFailure> PipeListener::create(
    std::wstring_view name, PSECURITY_DESCRIPTOR descriptor, ListenerOptions options) {
  std::wstring path = std::wstring(kPipePrefix) + std::wstring(name);
  if (const auto nul = path.find(L'\0'); nul != std::wstring::npos) {
    return failure(Error("invalid nul value found at position " + std::to_string(nul)));
  }
  std::optional<SecurityDescriptor> copy;
  if (descriptor != nullptr) {
    auto copied = SecurityDescriptor::copy_of(descriptor);
    if (!copied) return failure(std::move(copied.error()));
    copy = std::move(*copied);
  }
  if (options.instance_limit == PIPE_UNLIMITED_INSTANCES) {
    return failure(
        Error("cannot set 255 as the named pipe instance limit due to 255 being a reserved value"));
  }
  const DWORD limit =
      options.instance_limit == 0 ? PIPE_UNLIMITED_INSTANCES : options.instance_limit;
  if (!options.limbo) options.limbo = LimboPool::process_pool();
  std::unique_ptr<PipeListener> listener(
      new PipeListener(std::move(path), std::move(copy), limit, std::move(options)));
  UniqueFile first = listener->create_instance(true);
  if (!first) {
    const DWORD code = GetLastError();
    return failure(system_error(code), code == ERROR_ACCESS_DENIED || code == ERROR_PIPE_BUSY);
  }
  PipeListener* self = listener.get();
  auto read_ahead = ReadAhead::start(
      std::move(first), [self] { return self->create_instance(false); },
      ReadAheadOptions{self->options_.read_deadline, self->options_.max_pending,
                       self->options_.read_ahead_budget, self->options_.free_read_ahead});
  if (!read_ahead) return failure(std::move(read_ahead.error()));
  listener->read_ahead_ = std::move(*read_ahead);
  return listener;
}

PipeListener::PipeListener(std::wstring path, std::optional<SecurityDescriptor> descriptor,
                           DWORD instance_limit, ListenerOptions options)
    : path_(std::move(path)),
      descriptor_(std::move(descriptor)),
      instance_limit_(instance_limit),
      options_(std::move(options)) {}

UniqueFile PipeListener::create_instance(bool first) {
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor_ ? descriptor_->get() : nullptr,
                                 FALSE};
  // Overlapped, so that one thread can wait for many clients and their lines at once.
  const DWORD open_mode =
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  return UniqueFile(CreateNamedPipeW(path_.c_str(), open_mode, kPipeMode, instance_limit_,
                                     kBufferSize, kBufferSize, 0, &attributes));
}

Result<service::Accepted> PipeListener::accept() {
  auto next = read_ahead_->next();
  if (!next) return std::unexpected(std::move(next.error()));
  return service::Accepted{std::make_unique<PipeConnection>(
                               std::move(next->pipe), options_.write_deadline, options_.limbo),
                           std::move(next->request)};
}

}  // namespace kesta::pipe
