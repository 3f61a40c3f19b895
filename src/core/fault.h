#pragma once

#include <exception>
#include <string>

namespace kesta {

// An unrecoverable failure of a thread: it ends the thread, and whoever supervises the thread
// reports it.
class Fault : public std::exception {
 public:
  enum class Origin { kFixed, kComposed };  // fixed text, or composed at run time

  Fault(std::string description, Origin origin)
      : description_(std::move(description)), origin_(origin) {}

  const std::string& description() const noexcept { return description_; }
  Origin origin() const noexcept { return origin_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::string description_;
  Origin origin_;
};

}  // namespace kesta
