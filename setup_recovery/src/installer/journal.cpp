#include "installer/journal.h"

#include <algorithm>
#include <limits>

#include "common/json.h"
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

constexpr std::string_view kJournalKeys[] = {"schema", "transactionId", "committed",
                                             "previousFiles", "agent", "guardian"};
constexpr std::string_view kSnapshotKeys[] = {"running", "serviceType", "startType", "errorControl",
                                              "binaryCommand", "display", "dependencies", "description",
                                              "delayed", "sidType", "recovery"};
constexpr std::string_view kRecoveryKeys[] = {"failureActionsOnNonCrashFailures", "resetPeriodSeconds",
                                              "rebootMessage", "command", "actions"};
constexpr std::string_view kActionKeys[] = {"action", "delayMilliseconds"};

// --- decoding ---

Result<std::uint16_t> to_unit(const json::Value& v) {
  VOR_ASSIGN_OR_RETURN(auto n, json::to_u32(v));
  if (n > 0xFFFF) return fail("json: UTF-16 unit out of range");
  return static_cast<std::uint16_t>(n);
}

Result<std::vector<std::uint16_t>> to_units(const json::Value& v) { return json::to_array(v, to_unit); }

Result<std::optional<std::string>> to_previous_file(const json::Value& v) {
  if (v.is_null()) return std::optional<std::string>();
  VOR_ASSIGN_OR_RETURN(auto text, json::to_text(v));
  return std::optional<std::string>(std::move(text));
}

Result<ServiceRecoveryActionSnapshot> to_action(const json::Value& v) {
  ServiceRecoveryActionSnapshot action;
  json::Record r(v, kActionKeys, json::Mode::kLenient);
  r.required("action", action.action).required("delayMilliseconds", action.delay_milliseconds);
  return r.finish(std::move(action));
}

Result<std::vector<ServiceRecoveryActionSnapshot>> to_actions(const json::Value& v) {
  return json::to_array(v, to_action);
}

Result<ServiceRecoverySnapshot> to_recovery(const json::Value& v) {
  ServiceRecoverySnapshot recovery;
  json::Record r(v, kRecoveryKeys, json::Mode::kLenient);
  r.required("failureActionsOnNonCrashFailures", recovery.failure_actions_on_non_crash_failures)
      .optional("resetPeriodSeconds", recovery.reset_period_seconds)
      .optional("rebootMessage", recovery.reboot_message)
      .optional("command", recovery.command)
      .optional("actions", recovery.actions, to_actions);
  return r.finish(std::move(recovery));
}

Result<Snapshot> to_snapshot(const json::Value& v) {
  Snapshot snapshot;
  json::Record r(v, kSnapshotKeys, json::Mode::kStrict);
  r.required("running", snapshot.running)
      .required("serviceType", snapshot.service_type)
      .required("startType", snapshot.start_type)
      .required("errorControl", snapshot.error_control)
      .required("binaryCommand", snapshot.binary_command, to_units)
      .required("display", snapshot.display, to_units)
      .required("dependencies", snapshot.dependencies, to_units)
      .required("description", snapshot.description, to_units)
      .required("delayed", snapshot.delayed)
      .required("sidType", snapshot.sid_type)
      .required("recovery", snapshot.recovery, to_recovery);
  return r.finish(std::move(snapshot));
}

// --- encoding ---

void write_optional_string(std::string& out, const std::optional<std::string>& value) {
  if (value) {
    json::write_string(out, *value);
  } else {
    json::write_null(out);
  }
}

void write_units(std::string& out, const std::vector<std::uint16_t>& units) {
  out += '[';
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (i != 0) out += ',';
    json::write_uint(out, units[i]);
  }
  out += ']';
}

void write_recovery(std::string& out, const ServiceRecoverySnapshot& recovery) {
  json::ObjectWriter w(out);
  json::write_bool(w.key("failureActionsOnNonCrashFailures"), recovery.failure_actions_on_non_crash_failures);
  if (recovery.reset_period_seconds) {
    json::write_uint(w.key("resetPeriodSeconds"), *recovery.reset_period_seconds);
  } else {
    json::write_null(w.key("resetPeriodSeconds"));
  }
  write_optional_string(w.key("rebootMessage"), recovery.reboot_message);
  write_optional_string(w.key("command"), recovery.command);
  std::string& actions = w.key("actions");
  if (recovery.actions) {
    actions += '[';
    for (std::size_t i = 0; i < recovery.actions->size(); ++i) {
      if (i != 0) actions += ',';
      json::ObjectWriter a(actions);
      json::write_string(a.key("action"), (*recovery.actions)[i].action);
      json::write_uint(a.key("delayMilliseconds"), (*recovery.actions)[i].delay_milliseconds);
      a.close();
    }
    actions += ']';
  } else {
    json::write_null(actions);
  }
  w.close();
}

void write_snapshot(std::string& out, const std::optional<Snapshot>& snapshot) {
  if (!snapshot) {
    json::write_null(out);
    return;
  }
  const Snapshot& s = *snapshot;
  json::ObjectWriter w(out);
  json::write_bool(w.key("running"), s.running);
  json::write_uint(w.key("serviceType"), s.service_type);
  json::write_uint(w.key("startType"), s.start_type);
  json::write_uint(w.key("errorControl"), s.error_control);
  write_units(w.key("binaryCommand"), s.binary_command);
  write_units(w.key("display"), s.display);
  write_units(w.key("dependencies"), s.dependencies);
  write_units(w.key("description"), s.description);
  json::write_bool(w.key("delayed"), s.delayed);
  json::write_uint(w.key("sidType"), s.sid_type);
  write_recovery(w.key("recovery"), s.recovery);
  w.close();
}

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
  Journal journal;
  json::Record r(*tree, kJournalKeys, json::Mode::kStrict);
  r.required("schema", journal.schema)
      .required("transactionId", journal.transaction_id)
      .required("committed", journal.committed)
      .required("previousFiles", journal.previous_files,
                [](const json::Value& v) { return json::to_array(v, to_previous_file); })
      .optional("agent", journal.agent, to_snapshot)
      .optional("guardian", journal.guardian, to_snapshot);
  if (!r.status()) return state_invalid();
  return journal;
}

std::string encode_journal(const Journal& journal) {
  std::string out;
  out.reserve(128);
  json::ObjectWriter w(out);
  json::write_string(w.key("schema"), journal.schema);
  json::write_string(w.key("transactionId"), journal.transaction_id);
  json::write_bool(w.key("committed"), journal.committed);
  std::string& files = w.key("previousFiles");
  files += '[';
  for (std::size_t i = 0; i < journal.previous_files.size(); ++i) {
    if (i != 0) files += ',';
    write_optional_string(files, journal.previous_files[i]);
  }
  files += ']';
  write_snapshot(w.key("agent"), journal.agent);
  write_snapshot(w.key("guardian"), journal.guardian);
  w.close();
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
