// The duplication port: DXGI desktop duplication and the Direct3D 11 calls
// that read a duplicated frame, one object per COM object.
//
// Each object owns its COM interface and releases it when destroyed, so a
// `std::unique_ptr` is the one owner of each. Every method is one call (or
// one fixed pair, such as a query for IDXGIOutput1 followed by
// DuplicateOutput) and returns the raw HRESULT or what the call produced; a
// call that succeeds without producing an object yields a null pointer. No
// method decides anything: the capture rules (capture.h) do. Adapters and
// outputs are enumerated one index at a time, so the rules decide when the
// scan stops.
//
// The Win32 adapter is `make_win32_duplication_sys` (duplication_win32.h);
// tests script `FakeDuplication` (desktop/tests/capture_dxgi).
#pragma once

#include <cstdint>
#include <expected>
#include <memory>

#include "protocol/observation.h"

namespace vor::desktop {

// A result or the failing HRESULT.
template <class T>
using Hresult = std::expected<T, std::int32_t>;

inline std::unexpected<std::int32_t> hresult_error(std::uint32_t hresult) {
  return std::unexpected<std::int32_t>(static_cast<std::int32_t>(hresult));
}

// HRESULTs the rules look at.
inline constexpr std::int32_t kDxgiErrorNotFound = static_cast<std::int32_t>(0x887A0002u);
inline constexpr std::int32_t kDxgiErrorWasStillDrawing = static_cast<std::int32_t>(0x887A000Au);
inline constexpr std::int32_t kDxgiErrorNotCurrentlyAvailable = static_cast<std::int32_t>(0x887A0022u);
inline constexpr std::int32_t kDxgiErrorAccessLost = static_cast<std::int32_t>(0x887A0026u);
inline constexpr std::int32_t kDxgiErrorWaitTimeout = static_cast<std::int32_t>(0x887A0027u);
inline constexpr std::int32_t kDxgiErrorSessionDisconnected = static_cast<std::int32_t>(0x887A0028u);
inline constexpr std::int32_t kEAccessDenied = static_cast<std::int32_t>(0x80070005u);

// Values of the DXGI and Direct3D 11 enumerations the rules use.
inline constexpr std::int32_t kDxgiFormatB8G8R8A8Unorm = 87;
inline constexpr std::uint32_t kDxgiModeRotationIdentity = 1;
inline constexpr std::int32_t kD3d11UsageStaging = 3;
inline constexpr std::uint32_t kD3d11CpuAccessRead = 0x20000;
inline constexpr std::uint32_t kD3d11MapFlagDoNotWait = 0x100000;

// DXGI_OUTPUT_DESC, the members the rules read.
struct OutputDesc {
  Rect desktop{};
  bool attached = false;
  std::uint32_t rotation = 0;
};

// D3D11_TEXTURE2D_DESC.
struct TextureDesc {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t mip_levels = 0;
  std::uint32_t array_size = 0;
  std::int32_t format = 0;
  std::uint32_t sample_count = 0;
  std::uint32_t sample_quality = 0;
  std::int32_t usage = 0;
  std::uint32_t bind_flags = 0;
  std::uint32_t cpu_access_flags = 0;
  std::uint32_t misc_flags = 0;
  bool operator==(const TextureDesc&) const = default;
};

// DXGI_OUTDUPL_FRAME_INFO, the members the rules read.
struct FrameInfo {
  std::int64_t last_present_time = 0;
  std::int64_t last_mouse_update_time = 0;
  std::uint32_t accumulated_frames = 0;
  bool protected_content_masked_out = false;
  std::uint32_t total_metadata_buffer_size = 0;
};

// D3D11_BOX.
struct CopyBox {
  std::uint32_t left = 0;
  std::uint32_t top = 0;
  std::uint32_t front = 0;
  std::uint32_t right = 0;
  std::uint32_t bottom = 0;
  std::uint32_t back = 0;
  bool operator==(const CopyBox&) const = default;
};

// D3D11_MAPPED_SUBRESOURCE: valid until the texture is unmapped.
struct MappedTexture {
  const std::uint8_t* data = nullptr;
  std::uint32_t row_pitch = 0;
};

class Texture2D {  // ID3D11Texture2D
 public:
  virtual ~Texture2D() = default;
  virtual TextureDesc desc() = 0;  // GetDesc
};

class FrameResource {  // the IDXGIResource of an acquired frame
 public:
  virtual ~FrameResource() = default;
  virtual Hresult<std::unique_ptr<Texture2D>> query_texture() = 0;  // QueryInterface(ID3D11Texture2D)
};

struct AcquiredFrame {
  FrameInfo info;
  std::unique_ptr<FrameResource> resource;
};

class OutputDuplication {  // IDXGIOutputDuplication
 public:
  virtual ~OutputDuplication() = default;
  virtual Hresult<AcquiredFrame> acquire_next_frame(std::uint32_t timeout_ms) = 0;  // AcquireNextFrame
  virtual std::int32_t release_frame() = 0;                                       // ReleaseFrame
};

class D3dDevice {  // ID3D11Device
 public:
  virtual ~D3dDevice() = default;
  virtual Hresult<std::unique_ptr<Texture2D>> create_texture_2d(const TextureDesc& desc) = 0;  // no initial data
};

class D3dContext {  // ID3D11DeviceContext (the immediate context)
 public:
  virtual ~D3dContext() = default;
  // CopySubresourceRegion from subresource 0 of `source` into subresource 0
  // of `destination` at (x, y, z).
  virtual void copy_subresource_region(Texture2D& destination, std::uint32_t x, std::uint32_t y, std::uint32_t z,
                                       Texture2D& source, const CopyBox& box) = 0;
  // Map of subresource 0 with D3D11_MAP_READ and `flags`.
  virtual Hresult<MappedTexture> map_read(Texture2D& texture, std::uint32_t flags) = 0;
  virtual void unmap(Texture2D& texture) = 0;  // Unmap of subresource 0
};

struct CreatedDevice {
  std::unique_ptr<D3dDevice> device;
  std::unique_ptr<D3dContext> context;
};

class DxgiOutput {  // IDXGIOutput
 public:
  virtual ~DxgiOutput() = default;
  virtual Hresult<OutputDesc> desc() = 0;  // GetDesc
  // QueryInterface(IDXGIOutput1), then DuplicateOutput with `device`.
  virtual Hresult<std::unique_ptr<OutputDuplication>> duplicate(D3dDevice& device) = 0;
};

class DxgiAdapter {  // IDXGIAdapter1
 public:
  virtual ~DxgiAdapter() = default;
  virtual Hresult<std::unique_ptr<DxgiOutput>> enum_output(std::uint32_t index) = 0;  // EnumOutputs
  // D3D11CreateDevice on this adapter: D3D_DRIVER_TYPE_UNKNOWN, no software
  // module, D3D11_CREATE_DEVICE_BGRA_SUPPORT, default feature levels, SDK
  // version 7.
  virtual Hresult<CreatedDevice> create_device() = 0;
};

class DxgiFactory {  // IDXGIFactory1
 public:
  virtual ~DxgiFactory() = default;
  virtual Hresult<std::unique_ptr<DxgiAdapter>> enum_adapter(std::uint32_t index) = 0;  // EnumAdapters1
};

class DuplicationSys {
 public:
  virtual ~DuplicationSys() = default;
  virtual Hresult<std::unique_ptr<DxgiFactory>> create_factory() = 0;  // CreateDXGIFactory1
};

}  // namespace vor::desktop
