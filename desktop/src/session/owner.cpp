#include "session/owner.h"

#include "common/json.h"

namespace vor::desktop {
namespace {

// Codes of the protected state directory, which owns their guidance.
constexpr std::string_view kStateInvalidCode = "DESKTOP_STATE_INVALID";
constexpr std::string_view kStateWriteFailedCode = "DESKTOP_STATE_WRITE_FAILED";

constexpr std::string_view kOwnerKeys[] = {"protocol", "instance", "pid", "created", "sessionId", "userSid"};
constexpr std::string_view kSidPrefix = "S-1-";
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorPathNotFound = 3;

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

Error state_invalid(std::string detail) { return Error(std::move(detail)).context(std::string(kStateInvalidCode)); }

bool is_absent(const Error& error) {
  const auto number = error.os_error();
  return number && (*number == kErrorFileNotFound || *number == kErrorPathNotFound);
}

}  // namespace

std::string encode_owner(const Owner& owner) {
  std::string out;
  json::ObjectWriter w(out);
  json::write_uint(w.key("protocol"), owner.protocol);
  json::write_string(w.key("instance"), owner.instance);
  json::write_uint(w.key("pid"), owner.pid);
  json::write_uint(w.key("created"), owner.created);
  json::write_uint(w.key("sessionId"), owner.session_id);
  json::write_string(w.key("userSid"), owner.user_sid);
  w.close();
  return out;
}

Result<Owner> decode_owner(std::string_view bytes) {
  auto owner = json::decode_document(bytes, [](const json::Value& v) -> Result<Owner> {
    Owner o;
    json::Record r(v, kOwnerKeys);
    r.required("protocol", o.protocol)
        .required("instance", o.instance)
        .required("pid", o.pid)
        .required("created", o.created)
        .required("sessionId", o.session_id)
        .required("userSid", o.user_sid);
    return r.finish(std::move(o));
  });
  if (!owner) return fail(std::move(owner.error()).context(std::string(kStateInvalidCode)));
  return owner;
}

Result<std::string> session_pipe_name(const Owner& owner) {
  if (owner.protocol != 1) return fail(state_invalid("owner protocol is not 1"));
  if (owner.instance.size() != kSessionInstanceLength) return fail(state_invalid("owner instance is not 32 characters"));
  for (char c : owner.instance) {
    if (!is_hex_digit(c)) return fail(state_invalid("owner instance is not hexadecimal"));
  }
  if (owner.session_id == 0) return fail(state_invalid("owner session is 0"));
  if (owner.user_sid.size() < kSidPrefix.size() || !owner.user_sid.starts_with(kSidPrefix)) {
    return fail(state_invalid("owner user SID does not begin with S-1-"));
  }
  return std::string(kSessionPipePrefix) + owner.instance;
}

std::string session_pipe_sddl(std::string_view user_sid) {
  std::string sddl(kSessionPipeSddlPrefix);
  sddl += user_sid;
  sddl += kSessionPipeSddlSuffix;
  return sddl;
}

std::string session_owner_temporary_name(const Owner& owner) { return "session-" + owner.instance + ".tmp"; }

std::string join_state_path(std::string_view dir, std::string_view name) {
  std::string path(dir);
  if (!path.empty() && path.back() != '\\' && path.back() != '/') path += '\\';
  path += name;
  return path;
}

Status write_session_owner(OwnerRecordFiles& files, std::string_view state_root, const Owner& owner) {
  const std::string record = join_state_path(state_root, kSessionOwnerFileName);
  if (auto s = files.check_state_path(record); !s) return s;
  const std::string temporary = join_state_path(state_root, session_owner_temporary_name(owner));
  if (auto s = files.write_whole_file(temporary, encode_owner(owner)); !s) return s;
  if (auto moved = files.replace_file(temporary, record); !moved) {
    (void)files.delete_file(temporary);
    return fail(win32_failure(moved.error(), kStateWriteFailedCode));
  }
  return {};
}

Result<Owner> read_session_owner(OwnerRecordFiles& files, std::string_view state_root) {
  const std::string record = join_state_path(state_root, kSessionOwnerFileName);
  if (auto s = files.check_state_path(record); !s) return fail(std::move(s.error()));
  auto exists = files.exists(record);
  if (!exists) return fail(Error::os(exists.error(), "probing the owner record failed"));
  if (!*exists) return fail(std::string(kSessionNotRunning));
  auto bytes = files.read_bounded(record, kSessionOwnerMaxBytes);
  if (!bytes) {
    // A record deleted between the probe and the read: its host has ended.
    if (is_absent(bytes.error())) return fail(std::string(kSessionNotRunning));
    return fail(std::move(bytes.error()));
  }
  auto owner = decode_owner(*bytes);
  if (!owner) return owner;
  if (auto name = session_pipe_name(*owner); !name) return fail(std::move(name.error()));
  return owner;
}

Status delete_session_owner(OwnerRecordFiles& files, std::string_view state_root) {
  const std::string record = join_state_path(state_root, kSessionOwnerFileName);
  auto deleted = files.delete_file(record);
  if (!deleted && deleted.error() != kErrorFileNotFound && deleted.error() != kErrorPathNotFound) {
    return fail(win32_failure(deleted.error(), kStateWriteFailedCode));
  }
  return {};
}

}  // namespace vor::desktop
