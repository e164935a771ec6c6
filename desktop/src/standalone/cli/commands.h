// Parsed commands of the command line: the one-shot verbs that the one-shot
// runner serves and the session verbs that the session client and host serve.
// All text fields are owned copies of the command-line values, unchecked.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vor::desktop {

namespace cmd {
struct Capabilities {};
struct Sessions {};
struct Probe {
  std::uint32_t session_id;
};
struct Execute {
  std::string request;
  std::string state_dir;
};
struct Status {
  std::string operation_id;
  std::string state_dir;
};
struct ImageExport {
  std::string operation_id;
  std::string state_dir;
};
struct Reconcile {
  std::string operation_id;
  std::string observation_id;
  std::string state_dir;
};

struct SessionHost {
  std::uint32_t session_id;
  std::string state_dir;
};
struct SessionStart {
  std::uint32_t session_id;
  std::string state_dir;
};
struct SessionStatus {
  std::string state_dir;
};
struct SessionClose {
  std::string state_dir;
};
struct SessionExecute {
  std::string request;
  std::string state_dir;
};
struct SessionOperationStatus {
  std::string operation_id;
  std::string state_dir;
};
struct SessionImageExport {
  std::string operation_id;
  std::string state_dir;
};
struct SessionReconcile {
  std::string operation_id;
  std::string observation_id;
  std::string state_dir;
};
}  // namespace cmd

using OneShotCommand =
    std::variant<cmd::Capabilities, cmd::Sessions, cmd::Probe, cmd::Execute, cmd::Status, cmd::ImageExport, cmd::Reconcile>;

using SessionCommand = std::variant<cmd::SessionHost, cmd::SessionStart, cmd::SessionStatus, cmd::SessionClose,
                                    cmd::SessionExecute, cmd::SessionOperationStatus, cmd::SessionImageExport,
                                    cmd::SessionReconcile>;

}  // namespace vor::desktop
