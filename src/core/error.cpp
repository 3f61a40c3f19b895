#include "core/error.h"

#include "core/system_error.h"

#include <string_view>
#include <vector>

namespace kesta {
namespace {

// Appends `message` with every line after the first indented by `indent`.
void append_indented(std::string& out, std::string_view message, std::string_view indent) {
  std::size_t start = 0;
  while (true) {
    const std::size_t end = message.find('\n', start);
    out.append(message.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return;
    out.push_back('\n');
    out.append(indent);
    start = end + 1;
  }
}

}  // namespace

Error::Error(std::string message) : message_(std::move(message)) {}

Error::Error(std::string message, Error cause)
    : message_(std::move(message)), cause_(std::make_shared<const Error>(std::move(cause))) {}

std::string Error::report() const {
  std::string out = message_;
  std::vector<const Error*> causes;
  for (const Error* cause = cause_.get(); cause != nullptr; cause = cause->cause()) {
    causes.push_back(cause);
  }
  if (causes.empty()) return out;
  out.append("\n\nCaused by:");
  if (causes.size() == 1) {
    out.append("\n    ");
    append_indented(out, causes.front()->message(), "    ");
    return out;
  }
  for (std::size_t i = 0; i < causes.size(); ++i) {
    const std::string index = std::to_string(i);
    out.append("\n");
    out.append(index.size() < 5 ? 5 - index.size() : 0, ' ');
    out.append(index);
    out.append(": ");
    append_indented(out, causes[i]->message(), "       ");
  }
  return out;
}

Error system_error(std::uint32_t code) {
  Error error(system_error_message(code));
  error.system_code_ = code;
  return error;
}

std::string system_error_text(std::uint32_t code) {
  std::string text = system_error_message(code);
  const std::string tail = " (os error " + std::to_string(code) + ")";
  if (text.ends_with(tail)) text.resize(text.size() - tail.size());
  return text;
}

Error last_error() {
  return system_error(last_system_error());
}

std::string compose_system_error_message(std::string_view text, std::uint32_t code) {
  const std::size_t end = text.find_last_not_of(" \t\r\n\v\f");
  text = end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
  std::string message(text);
  message.append(" (os error ").append(std::to_string(code)).append(")");
  return message;
}

}  // namespace kesta
