#include "standalone/cli/error_codes.h"

#include <array>

namespace vor::desktop {
namespace {

const std::array<GuidanceRow, 41> kGuidance = {{
    {{"DESKTOP_ANNOUNCEMENT_INVALID"},
     "No input was dispatched. Use the installed helper with a fresh native Inspect operation from the same canonical state; VisibleSingleAction requires exactly one declared click intent on that exact foreground Shell."},
    {{"DESKTOP_ANNOUNCEMENT_NOT_VISIBLE", "DESKTOP_ANNOUNCEMENT_PIXEL_PROOF_FAILED", "DESKTOP_ANNOUNCEMENT_REGION_UNSUPPORTED", "DESKTOP_ANNOUNCEMENT_SESSION_UNAVAILABLE", "DESKTOP_ANNOUNCEMENT_TRAY_MISMATCH"},
     "No input was dispatched and no new lease was issued. Independent visible-cue proof is unavailable in this console/source/layout. Preserve the returned failure, close the owned arm/session and use a supported desktop; never normalize notification UNKNOWN, guess clicks or weaken session/occlusion checks."},
    {{"DESKTOP_ANNOUNCEMENT_SOURCE_CHANGED", "DESKTOP_ANNOUNCEMENT_TARGET_NOT_IDLE"},
     "No input was dispatched and no new lease was issued. Inspect the exact foreground source and target again; begin only from that fresh receipt while the required target state is unchanged. Do not auto-focus/minimize or reuse an old observation."},
    {{"DESKTOP_CAPTURE_ACCESS_DENIED", "DESKTOP_CAPTURE_PROTECTED_CONTENT"},
     "Windows or the selected application denies capture. No image or input was delivered. Respect the protection; do not change affinity, privileges, executor or capture source to bypass it."},
    {{"DESKTOP_CAPTURE_BLACK_FRAME", "DESKTOP_CAPTURE_FRAME_TIMEOUT", "DESKTOP_CAPTURE_MODE_CHANGED"},
     "No image is available from this one-shot GPU capture. Inspect current session/target state and request a fresh read-only capture when stable. Do not diagnose rendering from black/stale GDI images or guess input coordinates."},
    {{"DESKTOP_CAPTURE_BORDER_UNAVAILABLE", "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "DESKTOP_CAPTURE_WGC_UNSUPPORTED"},
     "This explicit window-source capture is unavailable on the current OS/GPU or its required system border could not be confirmed. No image or input was delivered. Preserve the reason; do not request borderless access or silently switch capture backends."},
    {{"DESKTOP_CAPTURE_ENVIRONMENT_UNAVAILABLE", "DESKTOP_CAPTURE_WINDOW_SOURCE_UNAVAILABLE"},
     "No image or input was delivered. Select a visible, nonminimized, uncloaked top-level window in an active unlocked Default desktop with DWM composition. Never show, restore, uncloak or focus it automatically."},
    {{"DESKTOP_CAPTURE_FORMAT_UNSUPPORTED"},
     "The bounded SDR capture pipeline cannot represent this source faithfully. No image or input was delivered; do not convert HDR silently or guess coordinates from an unsupported image."},
    {{"DESKTOP_CROSS_SESSION_JOB_UNSUPPORTED"},
     "No desktop action was sent. The command runner's Windows job cannot create a child in another session. Use a separately approved user-session launch adapter; repeating connect, another state root, scheduler escape or job breakaway is not a recovery."},
    {{"DESKTOP_ELEMENT_AMBIGUOUS"},
     "No semantic action was sent. Refine the exact-window selector with automationId, className or controlType; never pick the first matching element."},
    {{"DESKTOP_ELEMENT_CHANGED", "DESKTOP_UIA_SCOPE_MISMATCH"},
     "No semantic action was sent. Observe the exact window and re-resolve its element identity; a popup or another process requires its own explicit root."},
    {{"DESKTOP_ELEMENT_NOT_FOUND", "DESKTOP_ELEMENT_NOT_READY", "DESKTOP_WAIT_TIMEOUT"},
     "No semantic action was sent. Read find_elements/wait_element on the same exact window to inspect readiness; do not substitute a different host/window or replay uncertain input."},
    {{"DESKTOP_ELEMENT_READ_ONLY", "DESKTOP_UIA_PATTERN_UNSUPPORTED"},
     "No semantic action was sent. This control lacks the requested writable UIA pattern. Inspect the exact control; any physical-input path needs its own fresh target and authorization, never an automatic fallback."},
    {{"DESKTOP_FULLSCREEN_BUSY", "DESKTOP_FULLSCREEN_REVOKE_REQUIRED"},
     "This standard build cannot own an active pilot lease. Preserve the original operation and State; read its receipt and close the original approved host before changing images. Never delete fences or fall back to another input path."},
    {{"DESKTOP_FULLSCREEN_CUE_UNAVAILABLE"},
     "No input was dispatched. Ask the human to return to a supported visible desktop and observe again. This standard build has no fullscreen pilot; do not suppress the visible cue or auto-refocus."},
    {{"DESKTOP_FULLSCREEN_INACTIVE", "DESKTOP_FULLSCREEN_LEASE_EXPIRED", "DESKTOP_FULLSCREEN_OPERATION_CONSUMED"},
     "This intent was reserved by the historical pilot and cannot execute through the standard path. Read its original receipt; never delete State or resubmit uncertain work under a new ID. Only genuinely new ordinary work may use a fresh intent after resolving any unknown-input fence."},
    {{"DESKTOP_FULLSCREEN_UNSUPPORTED"},
     "This standard build contains no fullscreen pilot. Continue with ordinary observe/actions on a supported visible desktop. Do not erase State, retry armed input through execute or replace the module automatically; experimental work needs an explicitly approved separate pilot artifact."},
    {{"DESKTOP_IDEMPOTENCY_CONFLICT"},
     "Keep the same operationId only for the exact original request. Use a new id for new intent."},
    {{"DESKTOP_INPUT_FENCED", "DESKTOP_INPUT_OUTCOME_UNKNOWN", "DESKTOP_OUTCOME_UNKNOWN"},
     "Read status of the returned operationId. Observe the same session with a new read-only request, verify the application's state, then explicitly reconcile. Do not repeat input."},
    {{"DESKTOP_NOTICE_PROOF_UNAVAILABLE"},
     "No action was dispatched. The active desktop could not prove the visible notice/stop panel in fresh compositor frames. Preserve this receipt; inspect session/composition availability without focus clicks, pilot fallback or bypassing the proof."},
    {{"DESKTOP_OPERATION_RUNNING", "DESKTOP_OWNER_CONFLICT"},
     "Read the operation status; do not start a parallel input. A worker is bounded to 15 seconds."},
    {{"DESKTOP_PASSWORD_ELEMENT_DENIED"},
     "No semantic action was sent. Password fields are outside this contract; do not read them or switch to hidden keyboard/clipboard input."},
    {{"DESKTOP_PEER_NOT_AUTHORIZED"},
     "Run in your own interactive Windows session, or through an authorized LocalSystem command runner to select another user session."},
    {{"DESKTOP_POSTCONDITION_ALREADY_SATISFIED"},
     "The declared result was already observed; no new action was sent. Inspect that state and choose a meaningful different postcondition only for genuinely new work."},
    {{"DESKTOP_PROCESS_STATE_UNAVAILABLE"},
     "Windows owner-process state could not be confirmed. Restore query access and read the same operation status; do not repeat input or clear its fence."},
    {{"DESKTOP_SELECTOR_INVALID", "DESKTOP_WAIT_INVALID"},
     "No action was sent. Use nonempty exact selectors and a 100-4000 ms wait. A semantic action requires one explicit postcondition."},
    {{"DESKTOP_SESSION_BUSY"},
     "The single session is handling another request. Read its operation status after that request completes; do not start a parallel input or another state root."},
    {{"DESKTOP_SESSION_CLOSE_UNCONFIRMED"},
     "Read session-status using the same state directory. Do not kill target applications or clear operation receipts to force closure."},
    {{"DESKTOP_SESSION_EXPIRED", "DESKTOP_SESSION_NOT_RUNNING"},
     "Start a session in the selected interactive Windows session, then read any uncertain operation by its original id before new input."},
    {{"DESKTOP_SESSION_MISMATCH"},
     "Use the Windows session returned by session-start; no action was dispatched."},
    {{"DESKTOP_SESSION_NOT_ACTIVE"},
     "No desktop action was sent. Select an active logged-in Windows session from sessions; the module does not log in or unlock the computer."},
    {{"DESKTOP_SESSION_START_REQUIRES_USER_SESSION"},
     "Start the module in the chosen logged-in interactive user's Windows session. SYSTEM startup is not supported for this reusable mode; do not change privileges or bypass session isolation."},
    {{"DESKTOP_SESSION_START_UNCONFIRMED"},
     "Read session-status using the same state directory. Do not launch a duplicate session or replay input."},
    {{"DESKTOP_SESSION_TOKEN_UNAVAILABLE"},
     "The selected user token is unavailable to this Windows caller. Use the approved interactive-user launch path; do not obtain a password or elevate automatically."},
    {{"DESKTOP_STATE_INVALID", "DESKTOP_STATE_PROTECTION_FAILED"},
     "Keep the original State and operation references. Restore a compatible module and the original Windows machine/account data-protection environment, then inspect the same records. Do not delete receipts, replace State or create a fresh ledger to bypass an unknown outcome."},
    {{"DESKTOP_STATE_UNSAFE"},
     "Use a dedicated local state directory owned by the calling Windows identity; do not use links or share it with unrelated users."},
    {{"DESKTOP_STATE_WRITE_FAILED"},
     "Do not replay input. Read the original operation status using the same state directory after the reusable host closes; restore storage access, observe and reconcile any unknown outcome."},
    {{"DESKTOP_UIA_APARTMENT_UNAVAILABLE", "DESKTOP_UIA_METADATA_TOO_LARGE", "DESKTOP_UIA_PROVIDER_UNAVAILABLE"},
     "The system UIA read/provider is unavailable or exceeds its bound. Preserve the exact error and inspect the same target with a bounded read; do not treat this as an empty tree or retry an action."},
    {{"DESKTOP_UIA_QUERY_TIMEOUT", "DESKTOP_UIA_SEARCH_LIMIT", "DESKTOP_WINDOW_QUERY_TIMEOUT", "DESKTOP_WINDOW_SEARCH_LIMIT"},
     "The read was incomplete, not proof that an element/window is absent. Narrow the exact root/query; do not infer success or dispatch a replacement action."},
    {{"DESKTOP_WORKER_EXITED_BEFORE_READY", "DESKTOP_WORKER_EXIT_UNCONFIRMED", "DESKTOP_WORKER_READY_INVALID", "DESKTOP_WORKER_READY_UNCONFIRMED"},
     "No desktop Request bytes were sent. Check the returned startup phase and Windows caller context. The finite helper is contained and stopped; do not bypass peer checks."},
    {{"DESKTOP_WORKER_START_FAILED"},
     "Check the returned startup phase and numeric win32Error: Windows denied finite process creation/resume. Verify the approved executable and launch context; do not change ACLs, privileges or job policy to force launch."},
}};

}  // namespace

bool is_desktop_code(std::string_view text) {
  if (text.size() < 8 || text.size() > 100 || !text.starts_with("DESKTOP_")) return false;
  for (char c : text) {
    if (!((c >= 'A' && c <= 'Z') || c == '_')) return false;
  }
  return true;
}

std::string error_code_of(const Error& error) {
  for (const Error::Link& link : error.links()) {
    const std::string_view text = link.message;
    const std::string_view piece = text.substr(0, text.find(':'));
    if (is_desktop_code(piece)) return std::string(piece);
  }
  return std::string(kOperationFailed);
}

std::optional<std::int32_t> os_error_code_of(const Error& error) {
  if (auto raw = error.os_error()) return static_cast<std::int32_t>(*raw);
  return std::nullopt;
}

std::string_view guidance_text(std::string_view code) {
  for (const GuidanceRow& row : kGuidance) {
    for (std::string_view c : row.codes) {
      if (!c.empty() && c == code) return row.sentence;
    }
  }
  return kDefaultGuidance;
}

std::span<const GuidanceRow> guidance_rows() { return kGuidance; }

}  // namespace vor::desktop
