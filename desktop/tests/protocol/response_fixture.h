// A response with every one of its 22 members and every optional inner field
// present, exactly as the encoder writes it (declaration order, no spaces).
#pragma once

#include <string>
#include <string_view>

#include "document_fixture.h"

namespace vor::desktop::testing {

inline constexpr std::string_view kElementJson =
    R"({"automationId":"btn","name":"OK","className":"Button","controlType":50000,)"
    R"("rect":{"left":1,"top":2,"right":3,"bottom":4},"enabled":true,"offscreen":false,"password":false})";

inline std::string full_response_json() {
  return R"({"protocol":1,"operationId":"op-1","sessionId":1,"code":"DESKTOP_OBSERVED",)"
         R"("nextSafeAction":"Choose a window from this observation.","windows":[)" +
         std::string(kWindowJson) +
         R"(],"pngBase64":"iVBORw0KGgo=","imageWidth":640,"imageHeight":480,"processId":4242,"win32Error":-5,)"
         R"("startup":{"phase":"processCreate","requestDispatched":false},)"
         R"("targetDiagnostic":{"phase":"before_input","processIdentityChanged":false,"boundsChanged":true,)"
         R"("foregroundChanged":false,"humanInputChanged":true,"inputDispatched":false},)"
         R"("captureDiagnostic":{"method":"dxgi_desktop_duplication","acquiredAt":"2026-03-04T05:06:07.500Z",)"
         R"("lastPresentTimeQpc":"123456789","accumulatedFrames":2,"pointerOnly":false,)"
         R"("cropDesktopRect":{"left":0,"top":0,"right":640,"bottom":480},)"
         R"("outputDesktopRect":{"left":-1920,"top":0,"right":0,"bottom":1080},)"
         R"("dxgi":{"adapterIndex":0,"outputIndex":1,"lastMouseUpdateTimeQpc":"99","totalMetadataBufferSize":4096,)"
         R"("protectedContentMaskedOut":false,"acquireAttempts":3,"pointerOnlyFramesSkipped":1,)"
         R"("sourceTexture":{"width":1920,"height":1080,"format":87,"usage":0,"cpuAccessFlags":0,"sampleCount":1},)"
         R"("stagingTexture":{"width":640,"height":480,"format":87,"usage":3,"cpuAccessFlags":131072,"sampleCount":1},)"
         R"("rowPitch":2560,"rawNonzeroRgbPixels":307200,"rawNonzeroAlphaPixels":18446744073709551615}},)"
         R"("windowCaptureDiagnostic":{"method":"windows_graphics_capture","acquiredAt":"2026-03-04T05:06:07Z",)"
         R"("frameTime100ns":"1000","captureStart100ns":"900","sourceWidth":800,"sourceHeight":600,)"
         R"("borderRequired":true,"coordinateSpace":"window_source_pixels_not_input_coordinates"},)"
         R"("windowCaptureFailure":{"phase":"create_item","hresult":-2147467259},)"
         R"("inputDiagnostic":{"mode":"visible_per_action","armId":"arm-1","inputDispatched":true,"entryIssued":true},)"
         R"("noticeContext":{"observedAt":"2026-03-04T05:06:07.123456789Z","workerSessionId":1,)"
         R"("inputDesktopAvailable":true,"inputDesktopName":"Default","inputDesktopError":5,"notificationHresult":0,)"
         R"("notificationState":5,"notificationStateName":"QUNS_ACCEPTS_NOTIFICATIONS","screensaverRunning":false,)"
         R"("screensaverError":0,"lastInputIdleMilliseconds":1500,"compositionHresult":-1,"compositionEnabled":true,)"
         R"("foregroundHandle":"132456","foregroundProcessId":4242,"foregroundProcessCreated":"133000000000000000",)"
         R"("foregroundMinimized":false,"foregroundRect":{"left":-8,"top":0,"right":1280,"bottom":1024},)"
         R"("displayRect":{"left":0,"top":0,"right":1280,"bottom":1024},"foregroundCoversDisplay":false},)"
         R"("automation":{"elements":[)" +
         std::string(kElementJson) +
         R"(],"elapsedMs":120,"actionAttempted":true,"verification":"verified"},)"
         R"("automationDiagnostic":{"phase":"post_dispatch_guard","reasonCode":"DESKTOP_TARGET_CHANGED"},)"
         R"("execution":{"version":1,"effect":"value_set","backend":"uia","delivery":"dispatched",)"
         R"("verification":"verified","reasonCode":"DESKTOP_OBSERVED","automaticReplay":false},)"
         R"("noticeDiagnostic":{"phase":"notice_visibility","reasonCode":"DESKTOP_NOTICE_PROOF_UNAVAILABLE"}})";
}

}  // namespace vor::desktop::testing
