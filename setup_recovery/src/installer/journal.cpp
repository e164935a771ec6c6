#include "installer/journal.h"

#include <algorithm>
#include <limits>

#include "common/json.h"
#include "common/json_fields.h"
#include "installer/data_layout.h"
#include "installer/errors.h"
#include "installer/files.h"

namespace vor::setup {
namespace {

std::unexpected<Error> state_invalid() { return fail(failure(kSetupRecoveryStateInvalid)); }

bool all_hex(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  });
}

// A UTF-16 code unit, written as a number.
struct Utf16Unit {
  static Result<std::uint16_t> from(const json::Value& v) {
    VOR_ASSIGN_OR_RETURN(auto n, json::to_u32(v));
    if (n > 0xFFFF) return fail("json: UTF-16 unit out of range");
    return static_cast<std::uint16_t>(n);
  }
  static void write(std::string& out, std::uint16_t unit) { json::write_uint(out, unit); }
};
constexpr fields::ArrayOf<Utf16Unit> kUnits{};

constexpr auto kAction = fields::record<ServiceRecoveryActionSnapshot>(
    [](auto& f, auto& a) {
      f.required("action", a.action);
      f.required("delayMilliseconds", a.delay_milliseconds);
    },
    json::Mode::kLenient);

constexpr auto kRecovery = fields::record<ServiceRecoverySnapshot>(
    [](auto& f, auto& r) {
      f.required("failureActionsOnNonCrashFailures", r.failure_actions_on_non_crash_failures);
      f.nullable("resetPeriodSeconds", r.reset_period_seconds);
      f.nullable("rebootMessage", r.reboot_message);
      f.nullable("command", r.command);
      f.nullable("actions", r.actions, fields::ArrayOf<decltype(kAction)>{kAction});
    },
    json::Mode::kLenient);

constexpr auto kSnapshot = fields::record<Snapshot>([](auto& f, auto& s) {
  f.required("running", s.running);
  f.required("serviceType", s.service_type);
  f.required("startType", s.start_type);
  f.required("errorControl", s.error_control);
  f.required("binaryCommand", s.binary_command, kUnits);
  f.required("display", s.display, kUnits);
  f.required("dependencies", s.dependencies, kUnits);
  f.required("description", s.description, kUnits);
  f.required("delayed", s.delayed);
  f.required("sidType", s.sid_type);
  f.required("recovery", s.recovery, kRecovery);
});

// Each previous file is its digest, or null when the update created it.
constexpr auto kJournal = fields::record<Journal>([](auto& f, auto& j) {
  f.required("schema", j.schema);
  f.required("transactionId", j.transaction_id);
  f.required("committed", j.committed);
  f.required("previousFiles", j.previous_files, fields::ArrayOf<fields::NullOr<fields::Plain<std::string>>>{});
  f.nullable("agent", j.agent, kSnapshot);
  f.nullable("guardian", j.guardian, kSnapshot);
});

}  // namespace

Result<Bytes> parse_journal_frame(std::span<const std::uint8_t> file) {
  if (file.size() > kJournalMaxBytes || file.size() < kJournalMagic.size() + 2) return state_invalid();
  if (!std::equal(kJournalMagic.begin(), kJournalMagic.end(), file.begin())) return state_invalid();
  if (file[kJournalMagic.size()] != kJournalModeDpapiMachine) return state_invalid();
  const auto blob = file.subspan(kJournalMagic.size() + 1);
  if (blob.size() > std::numeric_limits<std::uint32_t>::max()) return state_invalid();
  return Bytes(blob.begin(), blob.end());
}

Bytes build_journal_frame(std::span<const std::uint8_t> blob) {
  Bytes file(kJournalMagic.begin(), kJournalMagic.end());
  file.push_back(kJournalModeDpapiMachine);
  file.insert(file.end(), blob.begin(), blob.end());
  return file;
}

Result<Journal> decode_journal(std::span<const std::uint8_t> bytes) {
  auto tree = json::parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  if (!tree) return state_invalid();
  auto journal = kJournal.from(*tree);
  if (!journal) return state_invalid();
  return journal;
}

std::string encode_journal(const Journal& journal) {
  std::string out;
  out.reserve(128);
  kJournal.write(out, journal);
  return out;
}

Status validate_journal(const Journal& journal) {
  if (journal.schema != kJournalSchema) return state_invalid();
  const std::size_t entries = journal.previous_files.size();
  if ((entries != 5 && entries != 7) || journal.transaction_id.size() != kTransactionIdLength) return state_invalid();
  if (!all_hex(journal.transaction_id)) return state_invalid();
  for (const auto& entry : journal.previous_files) {
    if (entry && (entry->size() != kPreviousFileDigestLength || !all_hex(*entry))) return state_invalid();
  }
  return {};
}

Result<Journal> read_protected_journal(FileSystem& files, DataProtection& protection, const std::string& path) {
  auto file = files.read_file(path, kJournalMaxBytes + 1);
  if (!file) return state_invalid();
  auto blob = parse_journal_frame(*file);
  if (!blob) return state_invalid();
  auto plaintext = protection.unprotect(*blob, {}, DataProtection::kUiForbidden);
  if (!plaintext) return state_invalid();
  auto journal = decode_journal(*plaintext);
  wipe_bytes(*plaintext);
  if (!journal) return state_invalid();
  return journal;
}

Status commit_journal(SetupPorts& ports, std::string_view root, Journal& journal) {
  journal.committed = true;
  if (auto valid = validate_journal(journal); !valid) return valid;
  std::string json = encode_journal(journal);
  if (json.size() > std::numeric_limits<std::uint32_t>::max()) return fail("state is too large for DPAPI");
  Bytes plaintext(json.begin(), json.end());
  std::fill(json.begin(), json.end(), '\0');
  auto blob = ports.protection.protect(plaintext, {}, DataProtection::kUiForbidden | DataProtection::kLocalMachine);
  wipe_bytes(plaintext);
  if (!blob) return fail(std::move(blob.error()).context("protect state with Windows DPAPI"));
  const Bytes file = build_journal_frame(*blob);
  return write_file_atomically(ports.files, ports.ids, journal_path(root), file);
}

}  // namespace vor::setup
