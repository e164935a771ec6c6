// The Win32 adapters of the automation port, built once by the composition
// root. The apartment calls are the system's in every build; the automation
// object is the system's UI Automation client in the release build and,
// in the Wine stand-in build, one built from the real child windows of
// classic controls (Wine 8.0 does not register CUIAutomation8).
//
//   auto com = make_win32_com_sys();
//   auto controls = make_win32_control_sys();
//   auto session = UiaSession::open(*com);
#pragma once

#include <memory>

#include "uia/automation_port.h"

namespace vor::desktop::uia {

// The apartment and this build's automation object.
std::unique_ptr<ComSys> make_win32_com_sys();
// The apartment and always the system's UI Automation client (CoCreateInstance
// of CUIAutomation8), whatever the build.
std::unique_ptr<ComSys> make_com_client_sys();
std::unique_ptr<ControlSys> make_win32_control_sys();

// The system's UI Automation client: CoCreateInstance of CUIAutomation8.
Com<std::unique_ptr<Automation>> create_com_client_automation();
// This build's automation object (automation_release.cpp, automation_standin.cpp).
Com<std::unique_ptr<Automation>> create_build_automation();

}  // namespace vor::desktop::uia
