// The Win32 adapters of the duplication port: DXGI and Direct3D 11 objects
// behind `DuplicationSys`. Enumeration, devices, textures, copies and maps
// are always the real calls; how an output is duplicated is chosen per
// build: `duplicate_output` is DuplicateOutput in the release build and, in
// the Wine stand-in build, a duplication whose frames are composed from the
// top-level windows' own device contexts (Wine answers DuplicateOutput with
// E_NOTIMPL).
//
//   auto dxgi = make_win32_duplication_sys();
//   auto png = capture_screen_dxgi(*dxgi, system_clock(), rect);
#pragma once

#include <windows.h>
#include <d3d11.h>
#include <dxgi1_2.h>

#include <memory>

#include "capture_dxgi/duplication_ports.h"

namespace vor::desktop {

using DuplicateOutputCall = Hresult<std::unique_ptr<OutputDuplication>> (*)(IDXGIOutput* output, ID3D11Device* device);

// The adapter with the given duplication call.
std::unique_ptr<DuplicationSys> make_dxgi_duplication_sys(DuplicateOutputCall duplicate);

// QueryInterface(IDXGIOutput1) and DuplicateOutput.
Hresult<std::unique_ptr<OutputDuplication>> dxgi_duplicate_output(IDXGIOutput* output, ID3D11Device* device);

// This build's duplication call.
Hresult<std::unique_ptr<OutputDuplication>> duplicate_output(IDXGIOutput* output, ID3D11Device* device);

// The adapter of this build, for the composition root.
inline std::unique_ptr<DuplicationSys> make_win32_duplication_sys() { return make_dxgi_duplication_sys(duplicate_output); }

// The texture and resource objects of the adapter, for a duplication that
// hands out textures of its own.
std::unique_ptr<Texture2D> wrap_texture(ID3D11Texture2D* texture);      // takes over one reference
std::unique_ptr<FrameResource> wrap_resource(IDXGIResource* resource);  // takes over one reference

}  // namespace vor::desktop
