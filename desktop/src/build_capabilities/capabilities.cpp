#include "build_capabilities/capabilities.h"

#include "native/lifetime_watchdog.h"
#include "native/validation.h"
#include "protocol/request.h"
#include "standalone/state/image_store.h"

namespace vor::desktop {

CliDocument capability_document() {
  using O = json::Object;
  using A = json::Array;
  const O window_source = {
      {"version", 1},
      {"action", "capture_window"},
      {"backend", "windows_graphics_capture"},
      {"explicitOnly", true},
      {"automaticFallback", false},
      {"systemBorderRequired", true},
      {"mayCaptureOccludedWindow", true},
      {"requiresVisibleNonminimizedUncloakedWindow", true},
      {"requiresForeground", false},
      {"coordinateSpace", "window_source_pixels_not_input_coordinates"},
      {"sdrOnly", true},
      {"runtimeSupport", "checked_per_operation_including_border_api"},
  };
  const O execution_model = {
      {"version", 1},
      {"focusPolicy", "explicit_no_auto_focus"},
      {"queryProperties", "bounded_build_cache"},
      {"notice", "fresh_two_phase_panel_proof"},
      {"notificationStateIsAuthority", false},
      {"deliveryAndVerificationSeparate", true},
      {"automaticReplay", false},
  };
  return O{
      {"schemaVersion", kCliSchema},
      {"product", "Vor Marionet"},
      {"executable", "Vor.Marionet.exe"},
      {"purpose", "Vor Windows Marionet Runtime"},
      {"version", kProductVersion},
      {"protocol", kProtocolVersion},
      {"requiresKerno", false},
      {"buildVariant", "standard"},
      {"inputCapabilities",
       O{{"fixedKeys",
         A{"enter", "escape", "tab", "backspace", "space", "up", "down", "left", "right", "alt_tab",
                   "show_desktop"}},
        {"arbitraryChords", false},
        {"maximumChordEvents", 4},
        {"chordsMayChangeForeground", true}}},
      {"captureCapabilities",
       O{{"method", "dxgi_desktop_duplication"},
        {"gdiFallback", false},
        {"visibleUnoccludedWindowOnly", true},
        {"maximumCropBytes", 67108864},
        {"windowSource", window_source}}},
      {"fullscreenDiagnostic",
       O{{"supported", false},
        {"compiled", false},
        {"defaultEnabled", false},
        {"unavailableCode", "DESKTOP_FULLSCREEN_UNSUPPORTED"}}},
      {"lifecycle",
       O{{"mode", "reusable_session_or_one_shot"},
        {"sessionIdleTimeoutSeconds", 300},
        {"idleResets", "after_completed_work_not_status"},
        {"workerHardDeadlineSeconds", kWorkerLifetime.count()},
        {"launcherHardDeadlineSeconds", kCommandLifetime.count()},
        {"timeoutExitCode", kExitDeadline},
        {"idlePolling", false},
        {"closesTargetApplications", false}}},
      {"standaloneWorkerReadiness", 1},
      {"localDataProtection",
       O{{"version", 1},
        {"storage", "windows_dpapi_machine_v1"},
        {"fileAccess", "owner_and_system"},
        {"recoveryReceipts", "encrypted_minimized"},
        {"imageLeaseSeconds", kImageLease.count()},
        {"imageExport", "session-image-export"},
        {"idleImageCleanup", true},
        {"unknownInputReceiptsExpire", false}}},
      {"semanticAutomation",
       O{{"version", 1},
        {"backend", "windows_uia_com"},
        {"actions", A{"find_windows", "find_elements", "wait_element", "element_action"}},
        {"executionModel", execution_model},
        {"elementOperations", A{"invoke", "set_value"}},
        {"maximumWaitMilliseconds", kMaxTimeoutMs},
        {"maximumNodes", 256},
        {"maximumElements", 32},
        {"requiresPostcondition", true},
        {"automaticInputReplay", false},
        {"passwordElements", false},
        {"foregroundRequiredForSemanticAction", false}}},
      {"commands",
       A{"sessions", "probe --session-id ID", "session-start --session-id ID --state-dir DIRECTORY",
                 "session-execute --request FILE --state-dir DIRECTORY", "session-status --state-dir DIRECTORY",
                 "session-close --state-dir DIRECTORY",
                 "session-operation-status --operation-id ID --state-dir DIRECTORY",
                 "session-image-export --operation-id ID --state-dir DIRECTORY",
                 "session-reconcile --operation-id ID --observation-id ID --state-dir DIRECTORY",
                 "execute --request FILE --state-dir DIRECTORY", "status --operation-id ID --state-dir DIRECTORY",
                 "image-export --operation-id ID --state-dir DIRECTORY",
                 "reconcile --operation-id ID --observation-id ID --state-dir DIRECTORY"}},
  };
}

}  // namespace vor::desktop
