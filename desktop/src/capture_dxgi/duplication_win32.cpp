#include "capture_dxgi/duplication_win32.h"

#include "common/com_ref_win32.h"
#include "common/system_library_win32.h"

namespace vor::desktop {
namespace {

std::unexpected<std::int32_t> failed(HRESULT hr) { return std::unexpected(static_cast<std::int32_t>(hr)); }

class Win32Texture final : public Texture2D {
 public:
  explicit Win32Texture(ID3D11Texture2D* texture) : texture_(texture) {}
  TextureDesc desc() override {
    D3D11_TEXTURE2D_DESC d{};
    texture_->GetDesc(&d);
    return {d.Width,     d.Height,    d.MipLevels, d.ArraySize,      static_cast<std::int32_t>(d.Format),
            d.SampleDesc.Count, d.SampleDesc.Quality, static_cast<std::int32_t>(d.Usage), d.BindFlags,
            d.CPUAccessFlags, d.MiscFlags};
  }
  ID3D11Texture2D* get() const { return texture_.get(); }

 private:
  ComRef<ID3D11Texture2D> texture_;
};

ID3D11Resource* resource_of(Texture2D& texture) { return static_cast<Win32Texture&>(texture).get(); }

class Win32Resource final : public FrameResource {
 public:
  explicit Win32Resource(IDXGIResource* resource) : resource_(resource) {}
  Hresult<std::unique_ptr<Texture2D>> query_texture() override {
    ComRef<ID3D11Texture2D> texture;
    const HRESULT hr = resource_->QueryInterface(IID_ID3D11Texture2D, texture.put_void());
    if (FAILED(hr)) return failed(hr);
    if (!texture) return std::unique_ptr<Texture2D>();
    return wrap_texture(texture.release());
  }

 private:
  ComRef<IDXGIResource> resource_;
};

class Win32Duplication final : public OutputDuplication {
 public:
  explicit Win32Duplication(IDXGIOutputDuplication* duplication) : duplication_(duplication) {}
  Hresult<AcquiredFrame> acquire_next_frame(std::uint32_t timeout_ms) override {
    DXGI_OUTDUPL_FRAME_INFO info{};
    IDXGIResource* resource = nullptr;
    const HRESULT hr = duplication_->AcquireNextFrame(timeout_ms, &info, &resource);
    if (FAILED(hr)) return failed(hr);
    AcquiredFrame frame;
    frame.info = {info.LastPresentTime.QuadPart, info.LastMouseUpdateTime.QuadPart, info.AccumulatedFrames,
                  info.ProtectedContentMaskedOut != FALSE, info.TotalMetadataBufferSize};
    if (resource) frame.resource = wrap_resource(resource);
    return frame;
  }
  std::int32_t release_frame() override { return static_cast<std::int32_t>(duplication_->ReleaseFrame()); }

 private:
  ComRef<IDXGIOutputDuplication> duplication_;
};

class Win32Device final : public D3dDevice {
 public:
  explicit Win32Device(ID3D11Device* device) : device_(device) {}
  Hresult<std::unique_ptr<Texture2D>> create_texture_2d(const TextureDesc& desc) override {
    D3D11_TEXTURE2D_DESC d{};
    d.Width = desc.width;
    d.Height = desc.height;
    d.MipLevels = desc.mip_levels;
    d.ArraySize = desc.array_size;
    d.Format = static_cast<DXGI_FORMAT>(desc.format);
    d.SampleDesc.Count = desc.sample_count;
    d.SampleDesc.Quality = desc.sample_quality;
    d.Usage = static_cast<D3D11_USAGE>(desc.usage);
    d.BindFlags = desc.bind_flags;
    d.CPUAccessFlags = desc.cpu_access_flags;
    d.MiscFlags = desc.misc_flags;
    ID3D11Texture2D* texture = nullptr;
    const HRESULT hr = device_->CreateTexture2D(&d, nullptr, &texture);
    if (FAILED(hr)) return failed(hr);
    if (!texture) return std::unique_ptr<Texture2D>();
    return wrap_texture(texture);
  }
  ID3D11Device* get() const { return device_.get(); }

 private:
  ComRef<ID3D11Device> device_;
};

class Win32Context final : public D3dContext {
 public:
  explicit Win32Context(ID3D11DeviceContext* context) : context_(context) {}
  void copy_subresource_region(Texture2D& destination, std::uint32_t x, std::uint32_t y, std::uint32_t z,
                               Texture2D& source, const CopyBox& box) override {
    const D3D11_BOX b{box.left, box.top, box.front, box.right, box.bottom, box.back};
    context_->CopySubresourceRegion(resource_of(destination), 0, x, y, z, resource_of(source), 0, &b);
  }
  Hresult<MappedTexture> map_read(Texture2D& texture, std::uint32_t flags) override {
    D3D11_MAPPED_SUBRESOURCE mapped{};
    const HRESULT hr = context_->Map(resource_of(texture), 0, D3D11_MAP_READ, flags, &mapped);
    if (FAILED(hr)) return failed(hr);
    return MappedTexture{static_cast<const std::uint8_t*>(mapped.pData), mapped.RowPitch};
  }
  void unmap(Texture2D& texture) override { context_->Unmap(resource_of(texture), 0); }

 private:
  ComRef<ID3D11DeviceContext> context_;
};

class Win32Output final : public DxgiOutput {
 public:
  Win32Output(IDXGIOutput* output, DuplicateOutputCall duplicate) : output_(output), duplicate_(duplicate) {}
  Hresult<OutputDesc> desc() override {
    DXGI_OUTPUT_DESC d{};
    const HRESULT hr = output_->GetDesc(&d);
    if (FAILED(hr)) return failed(hr);
    const RECT& r = d.DesktopCoordinates;
    return OutputDesc{Rect{r.left, r.top, r.right, r.bottom}, d.AttachedToDesktop != FALSE,
                      static_cast<std::uint32_t>(d.Rotation)};
  }
  Hresult<std::unique_ptr<OutputDuplication>> duplicate(D3dDevice& device) override {
    return duplicate_(output_.get(), static_cast<Win32Device&>(device).get());
  }

 private:
  ComRef<IDXGIOutput> output_;
  DuplicateOutputCall duplicate_;
};

// Direct3D and DXGI are loaded by the first capture, not by every start.
constinit SystemFunction<decltype(::D3D11CreateDevice)> d3d11_create_device(L"d3d11.dll", "D3D11CreateDevice");
constinit SystemFunction<decltype(::CreateDXGIFactory1)> create_dxgi_factory1(L"dxgi.dll", "CreateDXGIFactory1");

class Win32Adapter final : public DxgiAdapter {
 public:
  Win32Adapter(IDXGIAdapter1* adapter, DuplicateOutputCall duplicate) : adapter_(adapter), duplicate_(duplicate) {}
  Hresult<std::unique_ptr<DxgiOutput>> enum_output(std::uint32_t index) override {
    IDXGIOutput* output = nullptr;
    const HRESULT hr = adapter_->EnumOutputs(index, &output);
    if (FAILED(hr)) return failed(hr);
    if (!output) return std::unique_ptr<DxgiOutput>();
    return std::unique_ptr<DxgiOutput>(new Win32Output(output, duplicate_));
  }
  Hresult<CreatedDevice> create_device() override {
    ID3D11Device* device = nullptr;
    ID3D11DeviceContext* context = nullptr;
    auto create = d3d11_create_device.get();
    if (!create) return failed(HRESULT_FROM_WIN32(create.error()));
    const HRESULT hr = (*create)(adapter_.get(), D3D_DRIVER_TYPE_UNKNOWN, nullptr,
                                           D3D11_CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0, D3D11_SDK_VERSION, &device,
                                           nullptr, &context);
    CreatedDevice created;
    if (device) created.device.reset(new Win32Device(device));
    if (context) created.context.reset(new Win32Context(context));
    if (FAILED(hr)) return failed(hr);
    return created;
  }

 private:
  ComRef<IDXGIAdapter1> adapter_;
  DuplicateOutputCall duplicate_;
};

class Win32Factory final : public DxgiFactory {
 public:
  Win32Factory(IDXGIFactory1* factory, DuplicateOutputCall duplicate) : factory_(factory), duplicate_(duplicate) {}
  Hresult<std::unique_ptr<DxgiAdapter>> enum_adapter(std::uint32_t index) override {
    IDXGIAdapter1* adapter = nullptr;
    const HRESULT hr = factory_->EnumAdapters1(index, &adapter);
    if (FAILED(hr)) return failed(hr);
    if (!adapter) return std::unique_ptr<DxgiAdapter>();
    return std::unique_ptr<DxgiAdapter>(new Win32Adapter(adapter, duplicate_));
  }

 private:
  ComRef<IDXGIFactory1> factory_;
  DuplicateOutputCall duplicate_;
};

class Win32DuplicationSys final : public DuplicationSys {
 public:
  explicit Win32DuplicationSys(DuplicateOutputCall duplicate) : duplicate_(duplicate) {}
  Hresult<std::unique_ptr<DxgiFactory>> create_factory() override {
    IDXGIFactory1* factory = nullptr;
    auto create = create_dxgi_factory1.get();
    if (!create) return failed(HRESULT_FROM_WIN32(create.error()));
    const HRESULT hr = (*create)(IID_IDXGIFactory1, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return failed(hr);
    if (!factory) return std::unique_ptr<DxgiFactory>();
    return std::unique_ptr<DxgiFactory>(new Win32Factory(factory, duplicate_));
  }

 private:
  DuplicateOutputCall duplicate_;
};

}  // namespace

std::unique_ptr<Texture2D> wrap_texture(ID3D11Texture2D* texture) { return std::make_unique<Win32Texture>(texture); }
std::unique_ptr<FrameResource> wrap_resource(IDXGIResource* resource) {
  return std::make_unique<Win32Resource>(resource);
}

std::unique_ptr<DuplicationSys> make_dxgi_duplication_sys(DuplicateOutputCall duplicate) {
  return std::make_unique<Win32DuplicationSys>(duplicate);
}

Hresult<std::unique_ptr<OutputDuplication>> dxgi_duplicate_output(IDXGIOutput* output, ID3D11Device* device) {
  ComRef<IDXGIOutput1> output1;
  HRESULT hr = output->QueryInterface(IID_IDXGIOutput1, output1.put_void());
  if (FAILED(hr)) return failed(hr);
  IDXGIOutputDuplication* duplication = nullptr;
  hr = output1->DuplicateOutput(device, &duplication);
  if (FAILED(hr)) return failed(hr);
  if (!duplication) return std::unique_ptr<OutputDuplication>();
  return std::unique_ptr<OutputDuplication>(new Win32Duplication(duplication));
}

}  // namespace vor::desktop
