#include "driver/wireguard_library.h"

#include <gtest/gtest.h>

#include "wireguard_sim/in_process.h"

namespace kesta::driver {
namespace {

using wgsim::InProcessLoader;

std::vector<std::string> all_names() {
  return {kWireGuardEntryPoints.begin(), kWireGuardEntryPoints.end()};
}

TEST(WireGuardLibrary, ResolvesTheTwelveEntryPointsInOrder) {
  auto loader = std::make_shared<InProcessLoader>(InProcessLoader::Options{});
  const LoadResult library = load_wireguard_library(loader);
  ASSERT_TRUE(library.has_value());
  EXPECT_EQ(loader->lookups(), all_names());
  const WireGuardFunctions& f = (*library)->functions();
  for (const void* slot :
       {reinterpret_cast<const void*>(f.create_adapter),
        reinterpret_cast<const void*>(f.open_adapter),
        reinterpret_cast<const void*>(f.close_adapter),
        reinterpret_cast<const void*>(f.get_adapter_luid),
        reinterpret_cast<const void*>(f.get_running_driver_version),
        reinterpret_cast<const void*>(f.delete_driver), reinterpret_cast<const void*>(f.set_logger),
        reinterpret_cast<const void*>(f.set_adapter_logging),
        reinterpret_cast<const void*>(f.get_adapter_state),
        reinterpret_cast<const void*>(f.set_adapter_state),
        reinterpret_cast<const void*>(f.get_configuration),
        reinterpret_cast<const void*>(f.set_configuration)}) {
    EXPECT_NE(slot, nullptr);
  }
  // Each slot holds the entry point of its own name, not a neighbour's.
  EXPECT_EQ(f.get_running_driver_version(), 0x0001'0000u);
}

TEST(WireGuardLibrary, UnloadsWhenTheLastReferenceGoes) {
  auto loader = std::make_shared<InProcessLoader>(InProcessLoader::Options{});
  LoadResult library = load_wireguard_library(loader);
  ASSERT_TRUE(library.has_value());
  WireGuardLibraryRef second = *library;
  library->reset();
  EXPECT_EQ(loader->loaded_modules(), 1);
  second.reset();
  EXPECT_EQ(loader->loaded_modules(), 0);
}

TEST(WireGuardLibrary, MissingEntryPointStopsTheLoadAndUnloads) {
  for (std::size_t missing = 0; missing < kWireGuardEntryPoints.size(); ++missing) {
    auto loader = std::make_shared<InProcessLoader>(
        InProcessLoader::Options{.missing_export = kWireGuardEntryPoints[missing]});
    const LoadResult library = load_wireguard_library(loader);
    ASSERT_FALSE(library.has_value()) << kWireGuardEntryPoints[missing];
    EXPECT_EQ(library.error().kind(), WireGuardLoadError::Kind::kEntryPointMissing);
    const Error error = library.error().error();
    EXPECT_EQ(error.message(), "GetProcAddress failed");
    ASSERT_NE(error.cause(), nullptr);
    // The error is read before the module is unloaded, which clears it.
    EXPECT_EQ(error.cause()->message(), system_error_message(127));
    const std::vector<std::string> tried(kWireGuardEntryPoints.begin(),
                                         kWireGuardEntryPoints.begin() + missing + 1);
    EXPECT_EQ(loader->lookups(), tried);
    EXPECT_EQ(loader->loaded_modules(), 0);
  }
}

TEST(WireGuardLibrary, LoadErrorTexts) {
  struct Row {
    InProcessLoader::Options options;
    const char* message;
    std::optional<std::uint32_t> cause;
  };
  const Row rows[] = {
      {{.library_missing = true, .load_error = 126}, "LoadLibraryExW failed", 126},
      {{.library_missing = true, .load_error = 193}, "LoadLibraryExW failed", 193},
      {{.library_missing = true, .load_error = 0},
       "LoadLibraryExW failed, but system did not report the error",
       std::nullopt},
      {{.missing_export = "WireGuardSetLogger", .find_error = 127}, "GetProcAddress failed", 127},
      {{.missing_export = "WireGuardSetLogger", .find_error = 0},
       "GetProcAddress failed, but system did not report the error",
       std::nullopt},
  };
  for (const Row& row : rows) {
    auto loader = std::make_shared<InProcessLoader>(row.options);
    const LoadResult library = load_wireguard_library(loader);
    ASSERT_FALSE(library.has_value()) << row.message;
    const Error error = library.error().error();
    EXPECT_EQ(error.message(), row.message);
    if (row.cause) {
      ASSERT_NE(error.cause(), nullptr) << row.message;
      EXPECT_EQ(error.cause()->message(), system_error_message(*row.cause));
      EXPECT_EQ(error.cause()->cause(), nullptr);
    } else {
      EXPECT_EQ(error.cause(), nullptr) << row.message;
    }
    EXPECT_EQ(loader->loaded_modules(), 0);
  }
}

}  // namespace
}  // namespace kesta::driver
