#include "service/answer.h"

#include <utility>

namespace kesta::service {

Answer Answer::failure(std::string line, Delivery delivery) {
  return Answer{protocol::Error{std::move(line)}, delivery};
}

}  // namespace kesta::service
