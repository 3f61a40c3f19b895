// The configuration-file reader on any bytes, as `kestactl connect FILE.conf` takes them from
// providers and from disk: its encodings, every problem it finds, the cut after the first ones,
// and what connect prints of them.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "client.h"
#include "config_file.h"

namespace {

using namespace kesta::kestactl;

// Host names resolve without the network: some to an address, the rest not at all.
std::expected<kesta::protocol::Ipv4Address, std::string> resolve(std::string_view host) {
  if (host.size() % 2 == 0) return kesta::protocol::Ipv4Address{198, 51, 100, 7};
  return std::unexpected(std::string("host not found"));
}

void check(bool holds) {
  if (!holds) std::abort();
}

// Everything a message quotes has its control characters escaped.
void check_printable(const std::vector<FileProblem>& problems) {
  for (const FileProblem& problem : problems) {
    for (const char c : problem.text) {
      check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const ConfigFile file = parse_config_file(bytes, resolve);
  check(file.errors.size() <= kProblemsShown && file.unsupported.size() <= kProblemsShown);
  check(file.ignored.size() == file.unsupported.size());
  check(file.errors.size() == kProblemsShown || file.errors_not_kept == 0);
  // The errors kept are the first ones, in line order, those of the whole file last.
  for (std::size_t i = 1; i < file.errors.size(); ++i) {
    const std::size_t before = file.errors[i - 1].line, line = file.errors[i].line;
    check(line == 0 || (before != 0 && before <= line));
  }
  check_printable(file.errors);
  check_printable(file.unsupported);
  check_printable(file.ignored);

  ClientEnvironment environment;
  environment.deliver = [](const PipeRequest&) {
    return Exchange{Exchange::Outcome::kResponse, "rERpc2Nvbm5lY3RlZA==\n", {}};
  };
  environment.resolve = resolve;
  environment.read_file = [&bytes](const std::string&) -> std::expected<std::string, std::string> {
    return bytes;
  };
  for (const bool ignore : {false, true}) {
    std::vector<std::string> args = {"f.conf"};
    if (ignore) args.insert(args.begin(), "--ignore-unsupported");
    Output output;
    const int status = run_client("connect", args, environment, output);
    check(status == kExitOk || status == kExitUsage);
    check(status == kExitUsage || file.errors.empty());
    // However long the file, what is printed is a screenful: the problems shown, a header, the
    // count of the rest and a hint.
    check(static_cast<std::size_t>(std::ranges::count(output.err, '\n')) <= kProblemsShown + 4);
  }
  return 0;
}
