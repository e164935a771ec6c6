#include "session/host_dispatch.h"

#include <utility>

#include "common/overloaded.h"
#include "native/validation.h"
#include "protocol/request.h"
#include "protocol/worker_args.h"
#include "session/documents.h"
#include "standalone/cli/error_codes.h"
#include "standalone/cli/operation_status.h"
#include "standalone/state/state_store.h"

namespace vor::desktop {
namespace {

CliDocument error_document(std::string_view code, const std::optional<std::string>& operation_id) {
  return error_guidance(code, operation_id);
}

CliDocument error_document(const Error& error, const std::optional<std::string>& operation_id) {
  return error_guidance(error_code_of(error), operation_id);
}

Result<CliDocument> not_available(const char* action) {
  return fail(std::string(kOperationFailed) + ": " + action + " is not available in this build");
}

// A successful document with its window ids as decimal strings, or the error
// document of the failure.
CliDocument settle(Result<CliDocument> result, const std::optional<std::string>& operation_id, bool rewrite_windows) {
  if (!result) return error_document(result.error(), operation_id);
  if (rewrite_windows) rewrite_window_identifiers(*result);
  return std::move(*result);
}

CliDocument execute(HostSession& host, const Request& request) {
  const std::optional<std::string> operation_id =
      is_operation_identifier(request.operation_id) ? std::optional(request.operation_id) : std::nullopt;
  if (request.protocol != 1 || !operation_id) return error_document(kRequestInvalid, operation_id);
  if (request.session_id != host.session_id) return error_document(kSessionMismatch, operation_id);
  if (!lease_begin_operation(host.lease)) return error_document(kSessionExpired, operation_id);

  std::optional<Error> input_policy;
  if (auto allowed = check_operation_not_consumed(host.ledger, request.operation_id); !allowed) {
    input_policy = std::move(allowed.error());
  }
  Result<CliDocument> result = host.broker.execute
                                   ? host.broker.execute(encode_request(request), host.state_dir, input_policy)
                                   : not_available("execute");
  CliDocument document = settle(std::move(result), operation_id, true);
  if (!lease_end_operation(host.lease)) return error_document(kOutcomeUnknown, operation_id);
  return document;
}

CliDocument reconcile(HostSession& host, const SessionReconcile& action) {
  if (!lease_begin_operation(host.lease)) return error_document(kSessionExpired, std::nullopt);
  Result<CliDocument> result =
      host.broker.reconcile ? host.broker.reconcile(cmd::Reconcile{action.id, action.observation, host.state_dir})
                            : not_available("reconcile");
  CliDocument document = settle(std::move(result), action.id, true);
  if (!lease_end_operation(host.lease)) return error_document(kOutcomeUnknown, std::nullopt);
  return document;
}

}  // namespace

CliDocument dispatch_session_action(HostSession& host, const SessionAction& action) {
  return std::visit(
      Overloaded{
          [&](const SessionStatus&) { return session_status_document(host.session_id, host.lease); },
          [&](const SessionExecute& a) { return execute(host, a.request); },
          [&](const SessionOperationStatus& a) {
            return settle(host.broker.operation_status
                              ? host.broker.operation_status(cmd::Status{a.id, host.state_dir})
                              : not_available("operationStatus"),
                          a.id, true);
          },
          [&](const SessionExportImage& a) {
            return settle(host.broker.export_image ? host.broker.export_image(cmd::ImageExport{a.id, host.state_dir})
                                                   : not_available("exportImage"),
                          std::nullopt, false);
          },
          [&](const SessionReconcile& a) { return reconcile(host, a); },
          [&](const SessionClose&) {
            host.end_after_client = true;
            return session_closed_document(host.session_id);
          },
          [&](const SessionFullscreenBegin&) { return error_document(kFullscreenUnsupportedCode, std::nullopt); },
          [&](const SessionFullscreenStatus&) { return error_document(kFullscreenUnsupportedCode, std::nullopt); },
          [&](const SessionFullscreenEnd&) { return error_document(kFullscreenUnsupportedCode, std::nullopt); },
      },
      action);
}

CliDocument authentication_failure_document(const Error& error) {
  CliDocument document = error_document(error, std::nullopt);
  if (auto number = os_error_code_of(error)) document.as_object()->push_back(json::Member{"win32Error", *number});
  return document;
}

bool result_ends_host(const CliDocument& result) {
  const json::Value* code = result.find("code");
  const std::string* text = code != nullptr ? code->as_string() : nullptr;
  return text != nullptr && (*text == kStateWriteFailed || *text == kStateProtectionFailed);
}

}  // namespace vor::desktop
