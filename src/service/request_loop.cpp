#include "service/request_loop.h"

#include <type_traits>
#include <utility>
#include <variant>

#include "protocol/decode.h"
#include "protocol/encode.h"
#include "protocol/render.h"
#include "protocol/request_line.h"

namespace kesta::service {
namespace {

// Encodes and writes the line; on success returns the text written.
Result<std::string> write_response(Connection& connection, const protocol::Response& response) {
  auto line = protocol::encode_response(response);
  if (!line) return std::unexpected(Error(std::move(line.error())));
  if (auto written = connection.write_all(*line); !written) {
    return std::unexpected(std::move(written.error()));
  }
  return std::move(*line);
}

Result<> report_send_failure(const Error& error, Log& log) {
  log.write_line("Failed to send response: " + error.message());
  return std::unexpected(error);
}

Answer dispatch(const protocol::Command& command, CommandHandlers& handlers) {
  return std::visit(
      [&](const auto& variant) {
        using T = std::decay_t<decltype(variant)>;
        if constexpr (std::is_same_v<T, protocol::Connect>) {
          return handlers.connect(variant.config);
        } else if constexpr (std::is_same_v<T, protocol::Disconnect>) {
          return handlers.disconnect();
        } else {
          static_assert(std::is_same_v<T, protocol::Info>);
          return handlers.info();
        }
      },
      command);
}

// Decodes and answers one request; returning drops the connection.
void handle_request(Accepted& accepted, WorkerState& state) {
  Log& log = *state.log;
  if (!accepted.request) {
    log.write_line(protocol::unreadable_request_line(accepted.request.error().message()));
    return;
  }
  const protocol::DecodedCommand decoded = protocol::decode_command(*accepted.request);
  log.write_line(protocol::received_message_line(decoded.trimmed));
  if (!decoded.command) {
    log.write_line(protocol::refused_request_line(decoded.command.error()));
    return;
  }
  log.write_line(protocol::received_command_line(*decoded.command));
  Answer answer = dispatch(*decoded.command, *state.handlers);
  // A failed send has been logged; what follows the answer happens either way.
  (void)send_answer(*accepted.connection, answer, log);
  if (answer.after) answer.after();
}

}  // namespace

WorkerState::WorkerState(std::unique_ptr<Listener> listener, std::shared_ptr<Log> log,
                         std::unique_ptr<CommandHandlers> handlers)
    : listener(std::move(listener)), log(std::move(log)), handlers(std::move(handlers)) {}

void serve_next(WorkerState& state) {
  auto accepted = state.listener->accept();
  if (!accepted) {
    state.log->write_line("Incoming connection failed: " + accepted.error().message());
    return;
  }
  handle_request(*accepted, state);
}

void run_worker(WorkerState& state) {
  while (true) serve_next(state);
}

Result<> send_answer(Connection& connection, const Answer& answer, Log& log) {
  if (const auto* failure = std::get_if<protocol::Error>(&answer.response)) {
    log.write_line(failure->message);
  }
  const bool logged = answer.delivery == Delivery::kLogged;
  if (logged) log.write_line("Sending response: " + protocol::render(answer.response));
  auto written = write_response(connection, answer.response);
  if (!written) return report_send_failure(written.error(), log);
  if (logged) log.write_line("Message sent: " + *written);
  return {};
}

}  // namespace kesta::service
