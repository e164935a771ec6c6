#include "native/execution_evidence.h"

#include <string>

namespace vor::desktop {
namespace {

struct EffectBackend {
  std::string_view effect;
  std::string_view backend;
};

std::optional<EffectBackend> effect_of(ActionKind kind) {
  switch (kind) {
    case ActionKind::kInspect:
    case ActionKind::kFindWindows:
    case ActionKind::kFindElements:
    case ActionKind::kWaitElement: return EffectBackend{"read_only", "window_or_uia"};
    case ActionKind::kElementAction: return EffectBackend{"semantic_mutation", "uia_or_native_control"};
    case ActionKind::kCapture: return EffectBackend{"passive_capture", "dxgi"};
    case ActionKind::kCaptureWindow: return EffectBackend{"indicated_window_capture", "windows_graphics_capture"};
    case ActionKind::kFocus: return EffectBackend{"focus_change", "win32"};
    case ActionKind::kClick:
    case ActionKind::kType:
    case ActionKind::kKey: return EffectBackend{"physical_input", "win32"};
    case ActionKind::kLaunch: break;
  }
  return std::nullopt;
}

}  // namespace

std::optional<Evidence> build_execution_evidence(ActionKind kind, const Response& response, bool dispatched) {
  const auto effect = effect_of(kind);
  if (!effect) return std::nullopt;
  const std::string& code = response.code;
  const bool uncertain = code == kOutcomeUnknown || code == kInputOutcomeUnknown;

  Evidence e;
  e.version = 1;
  e.effect = std::string(effect->effect);
  e.backend = std::string(effect->backend);
  if (uncertain) {
    e.delivery = "unknown";
  } else if (kind == ActionKind::kFocus) {
    e.delivery = "not_applicable";
  } else {
    e.delivery = dispatched ? "attempted_once" : "not_dispatched";
  }
  if (uncertain) {
    e.verification = "unknown";
  } else if (response.automation && response.automation->verification == "verified") {
    e.verification = "verified";
  } else if (code == kPostconditionAlreadySatisfied) {
    e.verification = "already_satisfied";
  } else if (code == kFocusAccepted) {
    e.verification = "foreground_observed";
  } else {
    e.verification = "not_verified";
  }
  e.reason_code = code;
  e.automatic_replay = false;
  return e;
}

}  // namespace vor::desktop
