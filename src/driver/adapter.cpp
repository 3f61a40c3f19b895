#include "driver/adapter.h"

#include <atomic>
#include <utility>

#include "core/utf16.h"
#include "driver/random_guid.h"

namespace kesta::driver {
namespace {

// The driver keeps one logger per process and the service never replaces it.
std::atomic<bool> logger_registered{false};

void register_logger_once(const WireGuardLibrary& library) {
  if (logger_registered.load()) return;
  library.functions().set_logger(&driver_log_sink);
  logger_registered.store(true);
}

}  // namespace

void KESTA_WG_CALL driver_log_sink(abi::LoggerLevel, std::uint64_t, const char16_t* message) {
  if (message == nullptr) return;
  // Converted so that a malformed message is harmless, then dropped: driver messages stay out
  // of the service log.
  [[maybe_unused]] const std::string text = to_utf8_lossy(message);
}

Adapter::Adapter(WireGuardLibraryRef library, abi::AdapterHandle handle)
    : library_(std::move(library)), handle_(handle) {}

Adapter::Adapter(Adapter&& other) noexcept
    : library_(std::move(other.library_)), handle_(std::exchange(other.handle_, nullptr)) {}

Adapter& Adapter::operator=(Adapter&& other) noexcept {
  if (this != &other) {
    close();
    library_ = std::move(other.library_);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

Adapter::~Adapter() {
  close();
}

void Adapter::close() noexcept {
  if (handle_ != nullptr) library_->functions().close_adapter(std::exchange(handle_, nullptr));
  library_.reset();
}

Result<Adapter> Adapter::open(WireGuardLibraryRef library, std::string_view name) {
  register_logger_once(*library);
  const std::u16string wide = to_utf16(name);
  abi::AdapterHandle handle = library->functions().open_adapter(wide.c_str());
  if (handle == nullptr) return std::unexpected(Error("WireGuardOpenAdapter failed"));
  return Adapter(std::move(library), handle);
}

Result<Adapter> Adapter::create(WireGuardLibraryRef library, std::string_view name,
                                std::string_view tunnel_type, const abi::Guid& requested_guid) {
  register_logger_once(*library);
  const std::u16string wide_name = to_utf16(name);
  const std::u16string wide_type = to_utf16(tunnel_type);
  abi::AdapterHandle handle =
      library->functions().create_adapter(wide_name.c_str(), wide_type.c_str(), &requested_guid);
  if (handle == nullptr) return std::unexpected(Error("Failed to create adapter"));
  return Adapter(std::move(library), handle);
}

Result<> Adapter::set_configuration(const InterfaceConfig& config) {
  auto buffer = write_config_buffer(config);
  if (!buffer) return std::unexpected(buffer.error());
  const abi::Bool ok = library_->functions().set_configuration(
      handle_, buffer->data(), static_cast<std::uint32_t>(buffer->size()));
  if (ok == 0) return std::unexpected(Error("WireGuardSetConfiguration failed"));
  return {};
}

Result<InterfaceState> Adapter::get_configuration() const {
  const WireGuardFunctions& wg = library_->functions();
  std::uint32_t size = 0;
  if (wg.get_configuration(handle_, nullptr, &size) != 0) {
    return std::unexpected(Error("Failed to query size of wireguard configuration"));
  }
  if (last_system_error() != abi::kErrorMoreData) {
    return std::unexpected(
        Error("WireGuardGetConfiguration returned invalid error for size request"));
  }
  if (size == 0) return std::unexpected(Error("Wireguard config is zero bytes"));

  ConfigBuffer buffer(size, false);
  // The driver may write back a smaller size; parsing keeps to the allocation size.
  std::uint32_t written = size;
  if (wg.get_configuration(handle_, buffer.data(), &written) == 0) {
    return std::unexpected(Error("WireGuardGetConfiguration failed"));
  }
  return parse_config_buffer(buffer.bytes());
}

std::uint64_t Adapter::luid() const {
  std::uint64_t luid = 0;
  library_->functions().get_adapter_luid(handle_, &luid);
  return luid;
}

bool Adapter::set_state(abi::AdapterState state) {
  return library_->functions().set_adapter_state(handle_, state) != 0;
}

Result<> Adapter::set_routes_and_interface(IpConfigurator& configurator, const IpPrefix& address,
                                           const InterfaceConfig& config) const {
  return configurator.set_routes_and_interface(luid(), address, config);
}

Result<Adapter> acquire_service_adapter(WireGuardLibraryRef library) {
  if (auto opened = Adapter::open(library, kServiceAdapterName)) return opened;
  auto guid = random_guid();
  if (!guid) return std::unexpected(Error("Failed to create adapter", guid.error()));
  return Adapter::create(std::move(library), kCreatedAdapterName, kTunnelType, *guid);
}

}  // namespace kesta::driver
