// The protected setup transaction journal `<root>\Setup\transaction.dat`:
//
//   offset 0  "VORKST01"       magic
//   offset 8  0x01             DPAPI machine scope, the only mode
//   offset 9  DPAPI blob       (at least 1 byte) of the compact JSON `Journal`
//
// at most 65,536 bytes in all. The installer writes it before it changes the
// client; the recovery reads it, rolls back, commits it and deletes it.
// Every defect of the file is a bare "SETUP_RECOVERY_STATE_INVALID".
//
//   auto journal = read_protected_journal(ports.files, ports.protection, path);
//   if (!journal->committed) { ...rollback...; commit_journal(ports, root, *journal); }
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "installer/ports.h"

namespace vor::setup {

inline constexpr std::string_view kJournalMagic = "VORKST01";
inline constexpr std::uint8_t kJournalModeDpapiMachine = 1;
inline constexpr std::size_t kJournalMaxBytes = 65'536;
inline constexpr std::string_view kJournalSchema = "vor.kerno.setup-transaction/v1";
inline constexpr std::size_t kTransactionIdLength = 32;
inline constexpr std::size_t kPreviousFileDigestLength = 64;

struct ServiceRecoveryActionSnapshot {
  std::string action;  // "none", "restart", "reboot", "runCommand" (checked when restored)
  std::uint64_t delay_milliseconds = 0;
  bool operator==(const ServiceRecoveryActionSnapshot&) const = default;
};

struct ServiceRecoverySnapshot {
  bool failure_actions_on_non_crash_failures = false;
  std::optional<std::uint64_t> reset_period_seconds;  // nullopt: never resets
  std::optional<std::string> reboot_message;
  std::optional<std::string> command;
  std::optional<std::vector<ServiceRecoveryActionSnapshot>> actions;
  bool operator==(const ServiceRecoverySnapshot&) const = default;
};

// A service's configuration before the update. The four UTF-16 members are
// kept exactly as stored, terminating zeros included.
struct Snapshot {
  bool running = false;
  std::uint32_t service_type = 0;
  std::uint32_t start_type = 0;
  std::uint32_t error_control = 0;
  std::vector<std::uint16_t> binary_command;
  std::vector<std::uint16_t> display;
  std::vector<std::uint16_t> dependencies;
  std::vector<std::uint16_t> description;
  bool delayed = false;
  std::uint32_t sid_type = 0;
  ServiceRecoverySnapshot recovery;
  bool operator==(const Snapshot&) const = default;
};

struct Journal {
  std::string schema;
  std::string transaction_id;
  bool committed = false;
  // Entry i: the SHA-256 (hex) of target i before the update, or nullopt when it did not exist.
  std::vector<std::optional<std::string>> previous_files;
  std::optional<Snapshot> agent;     // nullopt: the service did not exist before the update
  std::optional<Snapshot> guardian;
  bool operator==(const Journal&) const = default;
};

// The DPAPI blob inside a journal file, or "SETUP_RECOVERY_STATE_INVALID".
Result<Bytes> parse_journal_frame(std::span<const std::uint8_t> file);
Bytes build_journal_frame(std::span<const std::uint8_t> blob);

// The JSON of one `Journal`: members in declared order, undeclared and
// duplicate members refused in `Journal` and `Snapshot`, undeclared ones
// skipped in the recovery records; only whitespace may follow the object.
// Failures are "SETUP_RECOVERY_STATE_INVALID".
Result<Journal> decode_journal(std::span<const std::uint8_t> json);
// Compact JSON in declared order; absent values as null.
std::string encode_journal(const Journal& journal);

// Schema, entry count (5 or 7), transaction id (32 hex digits), digests (64
// hex digits, either case); the first failure is "SETUP_RECOVERY_STATE_INVALID".
Status validate_journal(const Journal& journal);

// Reads at most kJournalMaxBytes + 1 bytes, checks the frame, unprotects the
// blob without entropy and decodes it. Every failure is a bare
// "SETUP_RECOVERY_STATE_INVALID".
Result<Journal> read_protected_journal(FileSystem& files, DataProtection& protection, const std::string& path);

// Sets `committed`, validates, protects the encoding in machine scope and
// stores it as `<root>\Setup\transaction.dat` with write_file_atomically.
Status commit_journal(SetupPorts& ports, std::string_view root, Journal& journal);

}  // namespace vor::setup
