#include "protocol/worker_args.h"

#include "common/text.h"

namespace vor::desktop {

Result<WorkerArgs> parse_worker_args(std::span<const std::optional<std::string>> args) {
  const auto invalid = [] { return fail(coded(kInvocationInvalid)); };
  if (args.size() != 6) return invalid();
  for (const auto& token : args) {
    if (!token) return invalid();
  }
  if (*args[0] != "--pipe" || *args[2] != "--broker-pid" || *args[4] != "--session") return invalid();
  const std::string& pipe = *args[1];
  const auto wide = utf8_to_utf16(pipe);
  if (!pipe.starts_with(kWorkerPipePrefix) || !wide || wide->size() > kWorkerPipeMaxChars) return invalid();
  const auto broker = parse_u32_decimal(*args[3]);
  const auto session = parse_u32_decimal(*args[5]);
  if (!broker || !session) return invalid();
  if (*session == 0) return fail(coded(kSessionMismatch));
  return WorkerArgs{pipe, *broker, *session};
}

}  // namespace vor::desktop
