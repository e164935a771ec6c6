#include "installer_recovery/failure_report.h"

#include "installer/data_layout.h"
#include "installer/errors.h"
#include "installer/files.h"
#include "common/json.h"

namespace vor::setup {

RecoveryFailureRecord classify_recovery_failure(const Error& error) {
  RecoveryFailureRecord record;
  const Failure* outermost = error.find<Failure>();
  record.code = std::string(outermost != nullptr ? outermost->code : kSetupIoFailed);
  if (const auto win32 = error.os_error()) record.win32_code = static_cast<std::int32_t>(*win32);
  if (const ChildExit* child = error.find<ChildExit>()) record.child_exit_code = child->exit_code;
  return record;
}

std::string encode_recovery_failure_report(const RecoveryFailureRecord& record) {
  std::string out;
  out.reserve(128);
  out += "{\"code\":";
  json::write_string(out, record.code);
  if (record.win32_code) out += ",\"win32Code\":" + std::to_string(*record.win32_code);
  if (record.child_exit_code) out += ",\"childExitCode\":" + std::to_string(*record.child_exit_code);
  out += '}';
  return out;
}

Status write_recovery_failure_report(FileSystem& files, IdSource& ids, std::string_view root, const Error& error) {
  const std::string json = encode_recovery_failure_report(classify_recovery_failure(error));
  const auto* data = reinterpret_cast<const std::uint8_t*>(json.data());
  return write_file_atomically(files, ids, failure_report_path(root), {data, json.size()});
}

}  // namespace vor::setup
