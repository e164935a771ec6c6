// The graphics-capture and Direct3D interop interfaces that mingw-w64's
// headers do not declare, written out by hand: each as its vtable of
// function pointers in slot order (every slot, also those never called),
// with its IID. The static_asserts pin the slot of every method called.
//
//   wgc::IGraphicsCaptureItem* item = ...;
//   wgc::SizeInt32 size{};
//   HRESULT hr = item->vtbl->get_Size(item, &size);
#pragma once

#include <windows.h>
#include <eventtoken.h>
#include <inspectable.h>
#include <d3d11.h>
#include <dxgi.h>

#include <cstddef>

namespace vor::desktop::wgc {

struct SizeInt32 {
  INT32 Width;
  INT32 Height;
};
struct TimeSpan {
  INT64 Duration;  // 100 ns ticks
};
static_assert(sizeof(SizeInt32) == 8 && sizeof(TimeSpan) == 8 && sizeof(EventRegistrationToken) == 8);
static_assert(sizeof(boolean) == 1, "WinRT boolean is one byte");

// Slot number n of a vtable: its byte offset.
constexpr std::size_t slot(std::size_t n) { return n * sizeof(void*); }

#define VOR_WGC_IUNKNOWN_SLOTS(T)                                          \
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(T * self, REFIID, void**); \
  ULONG(STDMETHODCALLTYPE* AddRef)(T * self);                            \
  ULONG(STDMETHODCALLTYPE* Release)(T * self);
#define VOR_WGC_IINSPECTABLE_SLOTS(T)                                           \
  VOR_WGC_IUNKNOWN_SLOTS(T)                                                     \
  HRESULT(STDMETHODCALLTYPE* GetIids)(T * self, ULONG*, IID**);                 \
  HRESULT(STDMETHODCALLTYPE* GetRuntimeClassName)(T * self, HSTRING*);          \
  HRESULT(STDMETHODCALLTYPE* GetTrustLevel)(T * self, TrustLevel*);
#define VOR_WGC_INTERFACE(T) \
  struct T##Vtbl;            \
  struct T {                 \
    const T##Vtbl* vtbl;     \
  };

VOR_WGC_INTERFACE(IGraphicsCaptureItem)
VOR_WGC_INTERFACE(IGraphicsCaptureSession)
VOR_WGC_INTERFACE(IDirect3DDevice)
VOR_WGC_INTERFACE(IDirect3DSurface)
VOR_WGC_INTERFACE(IDirect3D11CaptureFrame)
VOR_WGC_INTERFACE(IDirect3D11CaptureFramePool)
VOR_WGC_INTERFACE(IClosedHandler)

// TypedEventHandler<GraphicsCaptureItem, Object>: a plain IUnknown delegate.
struct IClosedHandlerVtbl {
  VOR_WGC_IUNKNOWN_SLOTS(IClosedHandler)
  HRESULT(STDMETHODCALLTYPE* Invoke)(IClosedHandler* self, IGraphicsCaptureItem* sender, IInspectable* args);
};
static_assert(offsetof(IClosedHandlerVtbl, Invoke) == slot(3));

struct IGraphicsCaptureSessionStaticsVtbl;
struct IGraphicsCaptureSessionStatics {
  const IGraphicsCaptureSessionStaticsVtbl* vtbl;
};
struct IGraphicsCaptureSessionStaticsVtbl {
  VOR_WGC_IINSPECTABLE_SLOTS(IGraphicsCaptureSessionStatics)
  HRESULT(STDMETHODCALLTYPE* IsSupported)(IGraphicsCaptureSessionStatics* self, boolean* result);
};
static_assert(offsetof(IGraphicsCaptureSessionStaticsVtbl, IsSupported) == slot(6));

struct IGraphicsCaptureItemInteropVtbl;
struct IGraphicsCaptureItemInterop {
  const IGraphicsCaptureItemInteropVtbl* vtbl;
};
struct IGraphicsCaptureItemInteropVtbl {
  VOR_WGC_IUNKNOWN_SLOTS(IGraphicsCaptureItemInterop)
  HRESULT(STDMETHODCALLTYPE* CreateForWindow)(IGraphicsCaptureItemInterop* self, HWND, REFIID, void** result);
  HRESULT(STDMETHODCALLTYPE* CreateForMonitor)(IGraphicsCaptureItemInterop* self, HMONITOR, REFIID, void** result);
};
static_assert(offsetof(IGraphicsCaptureItemInteropVtbl, CreateForWindow) == slot(3));

struct IGraphicsCaptureItemVtbl {
  VOR_WGC_IINSPECTABLE_SLOTS(IGraphicsCaptureItem)
  HRESULT(STDMETHODCALLTYPE* get_DisplayName)(IGraphicsCaptureItem* self, HSTRING*);
  HRESULT(STDMETHODCALLTYPE* get_Size)(IGraphicsCaptureItem* self, SizeInt32*);
  HRESULT(STDMETHODCALLTYPE* add_Closed)(IGraphicsCaptureItem* self, IClosedHandler*, EventRegistrationToken*);
  HRESULT(STDMETHODCALLTYPE* remove_Closed)(IGraphicsCaptureItem* self, EventRegistrationToken);
};
static_assert(offsetof(IGraphicsCaptureItemVtbl, get_Size) == slot(7));
static_assert(offsetof(IGraphicsCaptureItemVtbl, add_Closed) == slot(8));
static_assert(offsetof(IGraphicsCaptureItemVtbl, remove_Closed) == slot(9));

struct IGraphicsCaptureSessionVtbl {
  VOR_WGC_IINSPECTABLE_SLOTS(IGraphicsCaptureSession)
  HRESULT(STDMETHODCALLTYPE* StartCapture)(IGraphicsCaptureSession* self);
};
static_assert(offsetof(IGraphicsCaptureSessionVtbl, StartCapture) == slot(6));

// IsBorderRequired is on the third session interface, not the second.
struct IGraphicsCaptureSession3Vtbl;
struct IGraphicsCaptureSession3 {
  const IGraphicsCaptureSession3Vtbl* vtbl;
};
struct IGraphicsCaptureSession3Vtbl {
  VOR_WGC_IINSPECTABLE_SLOTS(IGraphicsCaptureSession3)
  HRESULT(STDMETHODCALLTYPE* get_IsBorderRequired)(IGraphicsCaptureSession3* self, boolean*);
  HRESULT(STDMETHODCALLTYPE* put_IsBorderRequired)(IGraphicsCaptureSession3* self, boolean);
};
static_assert(offsetof(IGraphicsCaptureSession3Vtbl, get_IsBorderRequired) == slot(6));
static_assert(offsetof(IGraphicsCaptureSession3Vtbl, put_IsBorderRequired) == slot(7));

struct IDirect3D11CaptureFramePoolStatics2Vtbl;
struct IDirect3D11CaptureFramePoolStatics2 {
  const IDirect3D11CaptureFramePoolStatics2Vtbl* vtbl;
};
struct IDirect3D11CaptureFramePoolStatics2Vtbl {
  VOR_WGC_IINSPECTABLE_SLOTS(IDirect3D11CaptureFramePoolStatics2)
  HRESULT(STDMETHODCALLTYPE* CreateFreeThreaded)(IDirect3D11CaptureFramePoolStatics2* self, IDirect3DDevice* device,
                                                 INT32 pixel_format, INT32 buffers, SizeInt32 size,
                                                 IDirect3D11CaptureFramePool** result);
};
static_assert(offsetof(IDirect3D11CaptureFramePoolStatics2Vtbl, CreateFreeThreaded) == slot(6));

struct IDirect3D11CaptureFramePoolVtbl {
  VOR_WGC_IINSPECTABLE_SLOTS(IDirect3D11CaptureFramePool)
  HRESULT(STDMETHODCALLTYPE* Recreate)(IDirect3D11CaptureFramePool* self, IDirect3DDevice*, INT32, INT32, SizeInt32);
  HRESULT(STDMETHODCALLTYPE* TryGetNextFrame)(IDirect3D11CaptureFramePool* self, IDirect3D11CaptureFrame**);
  HRESULT(STDMETHODCALLTYPE* add_FrameArrived)(IDirect3D11CaptureFramePool* self, IUnknown*, EventRegistrationToken*);
  HRESULT(STDMETHODCALLTYPE* remove_FrameArrived)(IDirect3D11CaptureFramePool* self, EventRegistrationToken);
  HRESULT(STDMETHODCALLTYPE* CreateCaptureSession)(IDirect3D11CaptureFramePool* self, IGraphicsCaptureItem*,
                                                   IGraphicsCaptureSession**);
  HRESULT(STDMETHODCALLTYPE* get_DispatcherQueue)(IDirect3D11CaptureFramePool* self, IInspectable**);
};
static_assert(offsetof(IDirect3D11CaptureFramePoolVtbl, TryGetNextFrame) == slot(7));
static_assert(offsetof(IDirect3D11CaptureFramePoolVtbl, CreateCaptureSession) == slot(10));

struct IDirect3D11CaptureFrameVtbl {
  VOR_WGC_IINSPECTABLE_SLOTS(IDirect3D11CaptureFrame)
  HRESULT(STDMETHODCALLTYPE* get_Surface)(IDirect3D11CaptureFrame* self, IDirect3DSurface**);
  HRESULT(STDMETHODCALLTYPE* get_SystemRelativeTime)(IDirect3D11CaptureFrame* self, TimeSpan*);
  HRESULT(STDMETHODCALLTYPE* get_ContentSize)(IDirect3D11CaptureFrame* self, SizeInt32*);
};
static_assert(offsetof(IDirect3D11CaptureFrameVtbl, get_Surface) == slot(6));
static_assert(offsetof(IDirect3D11CaptureFrameVtbl, get_SystemRelativeTime) == slot(7));
static_assert(offsetof(IDirect3D11CaptureFrameVtbl, get_ContentSize) == slot(8));

struct IDirect3DDeviceVtbl {
  VOR_WGC_IINSPECTABLE_SLOTS(IDirect3DDevice)
  HRESULT(STDMETHODCALLTYPE* Trim)(IDirect3DDevice* self);
};
struct IDirect3DSurfaceVtbl {
  VOR_WGC_IINSPECTABLE_SLOTS(IDirect3DSurface)
  HRESULT(STDMETHODCALLTYPE* get_Description)(IDirect3DSurface* self, void* description);
};

struct IDirect3DDxgiInterfaceAccessVtbl;
struct IDirect3DDxgiInterfaceAccess {
  const IDirect3DDxgiInterfaceAccessVtbl* vtbl;
};
struct IDirect3DDxgiInterfaceAccessVtbl {
  VOR_WGC_IUNKNOWN_SLOTS(IDirect3DDxgiInterfaceAccess)
  HRESULT(STDMETHODCALLTYPE* GetInterface)(IDirect3DDxgiInterfaceAccess* self, REFIID, void**);
};
static_assert(offsetof(IDirect3DDxgiInterfaceAccessVtbl, GetInterface) == slot(3));

// Windows.Foundation.IClosable.
struct IClosableVtbl;
struct IClosable {
  const IClosableVtbl* vtbl;
};
struct IClosableVtbl {
  VOR_WGC_IINSPECTABLE_SLOTS(IClosable)
  HRESULT(STDMETHODCALLTYPE* Close)(IClosable* self);
};
static_assert(offsetof(IClosableVtbl, Close) == slot(6));

#undef VOR_WGC_IUNKNOWN_SLOTS
#undef VOR_WGC_IINSPECTABLE_SLOTS
#undef VOR_WGC_INTERFACE

// CreateDirect3D11DeviceFromDXGIDevice (d3d11.dll), resolved at run time.
using CreateDirect3D11DeviceFromDXGIDeviceFn = HRESULT(WINAPI*)(IDXGIDevice* dxgi_device, IInspectable** device);

inline constexpr wchar_t kSessionClass[] = L"Windows.Graphics.Capture.GraphicsCaptureSession";
inline constexpr wchar_t kItemClass[] = L"Windows.Graphics.Capture.GraphicsCaptureItem";
inline constexpr wchar_t kFramePoolClass[] = L"Windows.Graphics.Capture.Direct3D11CaptureFramePool";

inline constexpr GUID kIidGraphicsCaptureSessionStatics = {
    0x2224A540, 0x5974, 0x49AA, {0xB2, 0x32, 0x08, 0x82, 0x53, 0x6F, 0x4C, 0xB5}};
inline constexpr GUID kIidGraphicsCaptureItemInterop = {
    0x3628E81B, 0x3CAC, 0x4C60, {0xB7, 0xF4, 0x23, 0xCE, 0x0E, 0x0C, 0x33, 0x56}};
inline constexpr GUID kIidGraphicsCaptureItem = {
    0x79C3F95B, 0x31F7, 0x4EC2, {0xA4, 0x64, 0x63, 0x2E, 0xF5, 0xD3, 0x07, 0x60}};
inline constexpr GUID kIidGraphicsCaptureSession3 = {
    0xF2CDD966, 0x22AE, 0x5EA1, {0x95, 0x96, 0x3A, 0x28, 0x93, 0x44, 0xC3, 0xBE}};
inline constexpr GUID kIidDirect3D11CaptureFramePoolStatics2 = {
    0x589B103F, 0x6BBC, 0x5DF5, {0xA9, 0x91, 0x02, 0xE2, 0x8B, 0x3B, 0x66, 0xD5}};
inline constexpr GUID kIidDirect3DDevice = {
    0xA37624AB, 0x8D5F, 0x4650, {0x9D, 0x3E, 0x9E, 0xAE, 0x3D, 0x9B, 0xC6, 0x70}};
inline constexpr GUID kIidDirect3DDxgiInterfaceAccess = {
    0xA9B3D012, 0x3DF2, 0x4EE3, {0xB8, 0xD1, 0x86, 0x95, 0xF4, 0x57, 0xD3, 0xC1}};
inline constexpr GUID kIidClosable = {
    0x30D5A829, 0x7FA4, 0x4026, {0x83, 0xBB, 0xD7, 0x5B, 0xAE, 0x4E, 0xA9, 0x9E}};
// TypedEventHandler<GraphicsCaptureItem, Object>, the Closed delegate.
inline constexpr GUID kIidClosedHandler = {
    0xE9C610C0, 0xA68C, 0x5BD9, {0x80, 0x21, 0x85, 0x89, 0x34, 0x6E, 0xEE, 0xE2}};

}  // namespace vor::desktop::wgc
