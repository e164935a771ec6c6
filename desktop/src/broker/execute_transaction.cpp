#include "broker/execute_transaction.h"

#include <string>
#include <utility>
#include <variant>

#include "common/base64.h"
#include "common/crypto.h"
#include "common/data_protection.h"
#include "native/execution_evidence.h"
#include "native/process_identity.h"
#include "native/validation.h"
#include "protocol/frame.h"
#include "protocol/request.h"
#include "protocol/response.h"
#include "standalone/cli/error_codes.h"
#include "standalone/cli/uncertain_outcome.h"
#include "standalone/state/fullscreen_ledger.h"
#include "standalone/state/image_store.h"
#include "standalone/state/receipt.h"
#include "standalone/state/state_maintenance.h"
#include "standalone/state/state_store.h"

namespace vor::desktop {
namespace {

// The request as the transaction works on it.
struct Prepared {
  Request request;
  std::string compact;  // the compact re-encoding, also what the worker is sent
  std::string hash;     // its SHA-256 in lowercase hex
  bool mutating = false;
};

std::optional<std::string> printable_operation_id(const Request& request) {
  if (!is_operation_identifier(request.operation_id)) return std::nullopt;
  return request.operation_id;
}

Result<Prepared> prepare(std::string_view bytes) {
  if (bytes.size() > kRequestFileLimit) return fail(coded(kRequestInvalid, "the request is larger than 16384 bytes"));
  auto request = decode_request(bytes);
  if (!request) return fail(coded_over(kRequestInvalid, std::move(request.error())));
  Prepared prepared{std::move(*request), {}, {}, false};
  prepared.compact = encode_request(prepared.request);
  // A re-encoding can be longer than its file (escapes written out); one that
  // no request frame can carry is refused before anything is written.
  if (prepared.compact.size() > kRequestMaxBytes) {
    return fail(coded(kRequestInvalid, "the request's compact form is larger than a request frame"));
  }
  VOR_ASSIGN_OR_RETURN(auto digest, sha256(prepared.compact));
  prepared.hash = to_hex(digest);
  prepared.mutating = is_mutating(prepared.request.action);
  return prepared;
}

// The exchange's remaining time, or none once it has passed.
std::optional<std::chrono::milliseconds> remaining(Clock& clock, Clock::Monotonic deadline) {
  const auto now = clock.monotonic_now();
  if (now >= deadline) return std::nullopt;
  return std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
}

Error uncertain(std::string_view message, Error cause) { return coded_over(message, std::move(cause)); }

Error time_passed() { return coded(kInspectBeforeInput); }

// A failed pipe call: the time-out of the whole exchange, or `message` over the cause.
Error pipe_failure(std::string_view message, Error cause) {
  if (is_pipe_time_limit(cause)) return uncertain(kInspectBeforeInput, std::move(cause));
  return uncertain(message, std::move(cause));
}

// Sends the request, reads the response, checks its identity and waits for
// the worker to end, all within one limit.
Result<Response> exchange(WorkerHandle& worker, FramePipe& pipe, Clock& clock, const Prepared& prepared) {
  const Clock::Monotonic deadline = clock.monotonic_now() + kExchangeLimit;

  auto left = remaining(clock, deadline);
  if (!left) return fail(time_passed());
  if (auto sent = pipe.write_frame(prepared.compact, kRequestMaxBytes, *left); !sent) {
    return fail(pipe_failure(kDeliveryNotConfirmed, std::move(sent.error())));
  }

  left = remaining(clock, deadline);
  if (!left) return fail(time_passed());
  auto body = pipe.read_frame(kResponseMaxBytes, *left);
  if (!body) return fail(pipe_failure(kResponseNotConfirmed, std::move(body.error())));
  auto response = decode_response(*body);
  wipe_text(*body);
  if (!response) return fail(uncertain(kResponseNotConfirmed, std::move(response.error())));

  const Request& request = prepared.request;
  if (response->protocol != kProtocolVersion || response->operation_id != request.operation_id ||
      response->session_id != request.session_id) {
    return fail(coded(kResponseIdentityMismatch));
  }

  for (;;) {
    auto running = worker.process->running();
    if (running && !*running) return std::move(*response);
    if (!remaining(clock, deadline)) return fail(time_passed());
    clock.sleep(kWorkerEndPoll);
  }
}

// Starts a worker, runs the readiness exchange with execution and the
// request exchange. The worker stays in `worker` for a `launch`, whose
// application is started with the worker's token.
Result<Response> run_worker(ExecutePorts& ports, const Prepared& prepared, const InputPolicyArgument& policy,
                            std::optional<WorkerHandle>& worker) {
  Clock& clock = ports.state.ctx.clock;
  VOR_ASSIGN_OR_RETURN(worker, start_worker(ports.launch(), ports.state.processes, prepared.request, clock.utc_now()));
  std::optional<ArmedInputPolicy> armed;
  if (policy) armed = **policy;
  VOR_ASSIGN_OR_RETURN(FramePipe * pipe, await_worker_ready(*worker, ports.state.processes, clock,
                                                           prepared.request.session_id, /*execute=*/true, armed,
                                                           ports.readiness));
  return exchange(*worker, *pipe, clock, prepared);
}

std::string application_command_line(const Launch& launch) {
  std::string line = quote_windows_argument(launch.program);
  for (const std::string& argument : launch.arguments) {
    line += ' ';
    line += quote_windows_argument(argument);
  }
  return line;
}

// Starts the application of a launch the worker has validated; any other
// response passes unchanged.
Result<Response> start_application(const Prepared& prepared, WorkerHandle& worker, Response response) {
  const auto* launch = std::get_if<Launch>(&prepared.request.action);
  if (launch == nullptr || response.code != kLaunchValidated) return response;
  auto started = worker.token->start_application(launch->program, application_command_line(*launch),
                                                 !worker.same_session);
  if (!started) return fail(coded_os(kApplicationStartFailed, started.error()));
  response.code = std::string(kApplicationStarted);
  response.next_safe_action = std::string(kApplicationStartedGuidance);
  response.process_id = *started;
  return response;
}

// Moves a capture's PNG out of the response into the protected image store.
Result<std::optional<Image>> store_image(StateContext& ctx, const StateRoot& root, const Request& request,
                                         Response& response) {
  if (!response.png_base64) return std::optional<Image>();
  std::string text = std::move(*response.png_base64);
  response.png_base64.reset();
  auto png = base64_decode(text);
  wipe_text(text);
  if (!png) return fail(std::move(png.error()).context("the captured image is not Base64"));
  auto image = store_protected_image(ctx, root, request.operation_id, *png, ctx.clock.utc_now());
  wipe_bytes(*png);
  if (!image) return fail(std::move(image.error()));
  return std::optional<Image>(std::move(*image));
}

bool outcome_is_unknown(std::string_view code) { return code == kOutcomeUnknown || code == kInputOutcomeUnknown; }

// Completes the receipt after a local failure that followed the worker stage.
Result<CliDocument> complete_after_failure(StatePorts& ports, const StateRoot& root, const Prepared& prepared,
                                           Receipt receipt, const Error& failure) {
  const std::string code = prepared.mutating ? std::string(kOutcomeUnknown) : error_code_of(failure);
  receipt.phase = prepared.mutating ? ReceiptPhase::kUnknown : ReceiptPhase::kFinished;
  receipt.finished_at = ports.ctx.clock.utc_now();
  receipt.result = build_response(prepared.request, code, kCompletionFailureGuidance);
  receipt.image.reset();
  VOR_RETURN_IF_ERROR(write_receipt(ports.ctx, root, receipt, false));
  return operation_status_document(ports, root, receipt);
}

// Steps from the state root on; every failure leaves no completed receipt
// and becomes the error document of the caller.
Result<CliDocument> run_gated(ExecutePorts& ports, const Prepared& prepared, std::string_view state_dir,
                              const InputPolicyArgument& policy) {
  StatePorts& state = ports.state;
  StateContext& ctx = state.ctx;
  const Request& request = prepared.request;

  VOR_ASSIGN_OR_RETURN(auto root, ensure_state_directory(ctx.fs, state.identity, state_dir));
  VOR_ASSIGN_OR_RETURN(auto gate, open_gate(ctx.fs, root));
  VOR_RETURN_IF_ERROR(maintain_state_directory(ctx, state.processes, root, ctx.clock.utc_now(), false));

  VOR_ASSIGN_OR_RETURN(auto receipt_path, state_file_path(root, request.operation_id, "json"));
  if (state_file_exists(ctx.fs, receipt_path)) {
    VOR_ASSIGN_OR_RETURN(auto stored, load_operation_receipt(ctx, root, request.operation_id));
    if (stored.request_hash != prepared.hash) {
      return fail(coded(kIdempotencyConflict, "the operation id was used for another request"));
    }
    return operation_status_document(state, root, stored);
  }

  VOR_RETURN_IF_ERROR(validate_action_request(request, ctx.clock.utc_now()));
  if (policy) {
    if (!*policy) return fail(policy->error());
  } else {
    VOR_ASSIGN_OR_RETURN(auto ledger, read_fullscreen_ledger(ctx.fs, root));
    VOR_RETURN_IF_ERROR(check_operation_not_consumed(ledger, request.operation_id));
  }

  VOR_ASSIGN_OR_RETURN(auto receipts, load_receipts(ctx, root));
  if (receipts.size() >= kMaximumReceipts) {
    return fail(coded(kStateQuotaExceeded, "the state directory holds 128 receipts"));
  }
  if (prepared.mutating) {
    for (const Receipt& earlier : receipts) {
      if (earlier.mutating && is_unsettled(earlier.phase)) return error_guidance(kInputFenced, earlier.operation_id);
    }
  }
  VOR_RETURN_IF_ERROR(check_disk_quota(ctx.fs, root));

  const std::uint32_t own_pid = state.processes.current_process_id();
  VOR_ASSIGN_OR_RETURN(auto own_created, process_creation_time(state.processes, own_pid));
  Receipt receipt;
  receipt.operation_id = request.operation_id;
  receipt.request_hash = prepared.hash;
  receipt.session_id = request.session_id;
  receipt.mutating = prepared.mutating;
  receipt.phase = ReceiptPhase::kRunning;
  receipt.created_at = ctx.clock.utc_now();
  receipt.pid = own_pid;
  receipt.pid_created = own_created;
  VOR_RETURN_IF_ERROR(write_receipt(ctx, root, receipt, /*create_new=*/true));

  // From here every outcome is recorded in the receipt.
  std::optional<WorkerHandle> worker;
  auto outcome = run_worker(ports, prepared, policy, worker);
  if (outcome && worker) outcome = start_application(prepared, *worker, std::move(*outcome));
  worker.reset();
  Response response = outcome ? std::move(*outcome) : uncertain_outcome_response(request, outcome.error());

  auto image = store_image(ctx, root, request, response);
  if (!image) return complete_after_failure(state, root, prepared, std::move(receipt), image.error());

  receipt.phase = prepared.mutating && outcome_is_unknown(response.code) ? ReceiptPhase::kUnknown
                                                                          : ReceiptPhase::kFinished;
  receipt.finished_at = ctx.clock.utc_now();
  receipt.result = std::move(response);
  receipt.image = std::move(*image);
  if (auto written = write_receipt(ctx, root, receipt, false); !written) {
    return complete_after_failure(state, root, prepared, std::move(receipt), written.error());
  }
  return operation_status_document(state, root, receipt);
}

}  // namespace

Result<CliDocument> execute_transaction(ExecutePorts& ports, std::string_view request_bytes,
                                        std::string_view state_dir, const InputPolicyArgument& policy) {
  VOR_ASSIGN_OR_RETURN(auto prepared, prepare(request_bytes));
  auto document = run_gated(ports, prepared, state_dir, policy);
  if (!document) return error_guidance(error_code_of(document.error()), printable_operation_id(prepared.request));
  return document;
}

Result<CliDocument> run_execute(ExecutePorts& ports, const cmd::Execute& command) {
  VOR_ASSIGN_OR_RETURN(auto bytes, read_bounded_file(ports.state.ctx.fs, command.request, kRequestFileLimit));
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return execute_transaction(ports, text, command.state_dir, std::nullopt);
}

}  // namespace vor::desktop
