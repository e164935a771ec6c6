// The functions of Direct3D, DXGI, COM and the Windows Runtime that window
// capture calls, bound on the first capture (common/system_library_win32.h)
// so that a command which captures nothing does not load those DLLs.
#pragma once

#include <windows.h>
#include <d3d11.h>
#include <dxgi.h>
#include <oleauto.h>
#include <roapi.h>
#include <winstring.h>

#include "common/system_library_win32.h"

namespace vor::desktop {

inline constinit SystemFunction<decltype(::D3D11CreateDevice)> d3d11_create_device(L"d3d11.dll", "D3D11CreateDevice");
inline constinit SystemFunction<decltype(::CreateDXGIFactory1)> create_dxgi_factory1(L"dxgi.dll",
                                                                                     "CreateDXGIFactory1");
inline constinit SystemFunction<decltype(::GetErrorInfo)> get_error_info(L"oleaut32.dll", "GetErrorInfo");
inline constinit SystemFunction<decltype(::RoInitialize)> ro_initialize(L"combase.dll", "RoInitialize");
inline constinit SystemFunction<decltype(::RoUninitialize)> ro_uninitialize(L"combase.dll", "RoUninitialize");
inline constinit SystemFunction<decltype(::RoGetActivationFactory)> ro_get_activation_factory(
    L"combase.dll", "RoGetActivationFactory");
inline constinit SystemFunction<decltype(::WindowsCreateStringReference)> windows_create_string_reference(
    L"combase.dll", "WindowsCreateStringReference");

}  // namespace vor::desktop
