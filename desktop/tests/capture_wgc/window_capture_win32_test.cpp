// The window capture against real (Wine) windows that the test creates and
// paints: the graphics-capture adapter's refusal where Wine registers no
// capture class, the display match over Wine's real DXGI, the Closed
// handler object across threads, and (stand-in build) whole captures whose
// PNG holds the window's painted colours.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "capture_wgc/window_capture.h"
#include "capture_wgc/window_capture_win32.h"
#include "expect_wgc_error.h"
#include "native/observation.h"
#include "native/ports_win32.h"
#include "png_reader.h"

namespace vor::desktop {
namespace {

constexpr wchar_t kClassName[] = L"VorWindowCaptureTestWindow";
constexpr HResult kHrClassNotRegistered = static_cast<HResult>(0x80040154);

struct Colour {
  std::uint8_t r, g, b;
};
constexpr Colour kLeft{220, 30, 40};
constexpr Colour kRight{20, 60, 230};
constexpr Colour kCover{30, 200, 60};

// Window procedure: the left half in kLeft, the right half in kRight, or
// all in kCover for a window whose user data is 1.
LRESULT CALLBACK paint_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg != WM_PAINT) return DefWindowProcW(hwnd, msg, wp, lp);
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  RECT r;
  GetClientRect(hwnd, &r);
  const auto fill = [&](RECT area, Colour c) {
    HBRUSH brush = CreateSolidBrush(RGB(c.r, c.g, c.b));
    FillRect(dc, &area, brush);
    DeleteObject(brush);
  };
  if (GetWindowLongPtrW(hwnd, GWLP_USERDATA) == 1) {
    fill(r, kCover);
  } else {
    fill({r.left, r.top, r.right / 2, r.bottom}, kLeft);
    fill({r.right / 2, r.top, r.right, r.bottom}, kRight);
  }
  EndPaint(hwnd, &ps);
  return 0;
}

void pump_messages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// A shown, painted, frameless top-level window of this thread. Left to the
// process's exit (hiding a shown window costs 2 s under Wine without a
// window manager), its title cleared.
class PaintedWindow {
 public:
  PaintedWindow(const wchar_t* title, RECT r, bool cover = false) {
    static const bool registered = [] {
      WNDCLASSW wc{};
      wc.lpfnWndProc = paint_proc;
      wc.hInstance = GetModuleHandleW(nullptr);
      wc.lpszClassName = kClassName;
      return RegisterClassW(&wc) != 0;
    }();
    EXPECT_TRUE(registered);
    hwnd_ = CreateWindowExW(0, kClassName, title, WS_POPUP, r.left, r.top, r.right - r.left, r.bottom - r.top,
                            nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (cover) SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 1);
    ShowWindow(hwnd_, SW_SHOWNOACTIVATE);
    UpdateWindow(hwnd_);
    pump_messages();
  }
  ~PaintedWindow() {
    SetWindowTextW(hwnd_, L"");
    pump_messages();
  }
  PaintedWindow(const PaintedWindow&) = delete;
  PaintedWindow& operator=(const PaintedWindow&) = delete;
  HWND hwnd() const { return hwnd_; }
  WindowHandle handle() const { return from_hwnd(hwnd_); }

 private:
  HWND hwnd_ = nullptr;
};

std::uint32_t own_session() {
  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  return session;
}

struct Capture {
  Win32DesktopPorts win32;
  std::unique_ptr<WindowCaptureSys> sys;

  explicit Capture(std::unique_ptr<WindowCaptureSys> s) : sys(std::move(s)) {}

  Result<WindowCaptureResult> of(const PaintedWindow& window) {
    const DesktopPorts ports = win32.ports();
    auto observed = snapshot_window(ports, window.handle(), own_session(), false);
    if (!observed) return fail(std::move(observed.error()));
    const Request request{1, "cap-wine", own_session(), CaptureWindow{*observed}};
    const WindowCaptureContext context{ports, *sys, [] { return Status{}; }};
    return capture_window_wgc(context, request);
  }
};

TEST(WinRtWindowCaptureUnderWine, RefusesAtTheSupportQueryWithClassNotRegistered) {
  PaintedWindow window(L"wgc release refusal", {40, 40, 240, 160});
  Capture capture(make_winrt_window_capture());
  auto shot = capture.of(window);
  ASSERT_FALSE(shot);
  testing::expect_wgc_error(shot.error(), "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "support_query", kHrClassNotRegistered,
                            "release adapter");
}

TEST(WinRtWindowCaptureUnderWine, DeviceStepsRunAndTheMissingInteropExportIsAValue) {
  // Wine's d3d11.dll lacks CreateDirect3D11DeviceFromDXGIDevice: looked up
  // at run time, its absence is the step's HRESULT, not a program that does
  // not load.
  auto sys = make_winrt_window_capture();
  const HResult apartment = sys->initialize_runtime();
  ASSERT_GE(apartment, 0);
  auto factory = sys->open_item_factory();
  ASSERT_FALSE(factory);
  EXPECT_EQ(factory.error(), kHrClassNotRegistered);
  auto device = sys->create_device();
  ASSERT_TRUE(device) << device.error();
  EXPECT_TRUE(*device);
  EXPECT_TRUE(sys->open_dxgi_device());
  auto winrt = sys->create_winrt_device();
  ASSERT_FALSE(winrt);
  EXPECT_EQ(winrt.error(), static_cast<HResult>(0x8007007F));  // HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND)
  sys->release_objects();
  sys->uninitialize_runtime();
}

TEST(WindowDisplayUnderWine, WindowOnTheScreenIsOnOneStandardOutput) {
  // Wine's DWM has no frame bounds (E_NOTIMPL): the graphics-capture adapter
  // cannot place a window; the stand-in build's adapter uses the window rect.
  PaintedWindow inside(L"wgc display inside", {50, 60, 350, 260});
  PaintedWindow straddling(L"wgc display outside", {1180, 100, 1380, 300});
  auto winrt = make_winrt_window_capture();
  const Status no_bounds = find_window_display(*winrt, inside.handle());
  ASSERT_FALSE(no_bounds);
  EXPECT_EQ(no_bounds.error().outermost(), "DESKTOP_CAPTURE_REGION_UNSUPPORTED");
#if VOR_WINE_STANDINS
  auto standin = make_window_capture_sys();
  const Status found = find_window_display(*standin, inside.handle());
  EXPECT_TRUE(found) << found.error().display_chain();
  const Status partly_off = find_window_display(*standin, straddling.handle());
  ASSERT_FALSE(partly_off);
  EXPECT_EQ(partly_off.error().outermost(), "DESKTOP_CAPTURE_REGION_UNSUPPORTED");
#endif
}

TEST(ClosedHandler, AgileAndSetsItsFlagFromAnotherThreadAfterTheCaptureLetGo) {
  auto flag = std::make_shared<ClosedFlag>();
  wgc::IClosedHandler* handler = make_closed_handler(flag);
  const GUID asked[] = {IID_IUnknown, wgc::kIidClosedHandler, IID_IAgileObject};
  for (const GUID& iid : asked) {
    void* out = nullptr;
    ASSERT_EQ(handler->vtbl->QueryInterface(handler, iid, &out), S_OK);
    EXPECT_EQ(out, handler);
    handler->vtbl->Release(handler);
  }
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(handler->vtbl->QueryInterface(handler, IID_IMarshal, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);

  // The event source holds its own reference; the capture drops its own and
  // the flag before the event comes.
  EXPECT_EQ(handler->vtbl->AddRef(handler), 2u);
  EXPECT_EQ(handler->vtbl->Release(handler), 1u);
  std::weak_ptr<ClosedFlag> watch = flag;
  const std::shared_ptr<ClosedFlag> kept = flag;
  flag.reset();
  std::thread([handler] {
    EXPECT_EQ(handler->vtbl->Invoke(handler, nullptr, nullptr), S_OK);
  }).join();
  EXPECT_TRUE(kept->closed.load());
  EXPECT_EQ(handler->vtbl->Release(handler), 0u);
  EXPECT_EQ(watch.use_count(), 1) << "the handler let go of the flag when it was freed";
}

#if VOR_WINE_STANDINS

std::string colour_at(const testing::DecodedPng& png, std::uint32_t x, std::uint32_t y) {
  const std::uint8_t* p = png.at(x, y);
  return std::to_string(p[0]) + "," + std::to_string(p[1]) + "," + std::to_string(p[2]) + "," + std::to_string(p[3]);
}
std::string opaque(Colour c) { return std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ",255"; }

TEST(WindowDcCaptureUnderWine, AWindowThatIsGoneRaisesClosed) {
  // Never shown, so destroying it costs no X round trip.
  HWND hwnd = CreateWindowExW(0, L"STATIC", L"wgc gone", WS_POPUP, 10, 10, 50, 40, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(hwnd, nullptr);
  auto sys = make_window_capture_sys();
  ASSERT_TRUE(sys->create_item(from_hwnd(hwnd)));
  auto flag = std::make_shared<ClosedFlag>();
  ASSERT_TRUE(sys->add_closed_handler(flag));
  EXPECT_EQ(sys->item_size(), (Hr<CaptureSize>(CaptureSize{50, 40})));
  ASSERT_TRUE(DestroyWindow(hwnd));
  auto frame = sys->next_frame();
  ASSERT_TRUE(frame);
  EXPECT_FALSE(*frame);
  EXPECT_TRUE(flag->closed.load());
  sys->remove_closed_handler();
  sys->release_objects();
}

TEST(WindowDcCaptureUnderWine, ThePaintedColoursComeBackInThePng) {
  PaintedWindow window(L"wgc painted", {100, 120, 340, 280});
  Capture capture(make_window_capture_sys());
  auto shot = capture.of(window);
  ASSERT_TRUE(shot) << shot.error().display_chain();
  EXPECT_EQ(shot->width, 240u);
  EXPECT_EQ(shot->height, 160u);
  EXPECT_EQ(shot->diagnostic.source_width, 240u);
  EXPECT_EQ(shot->diagnostic.source_height, 160u);
  EXPECT_EQ(shot->diagnostic.method, "windows_graphics_capture");
  EXPECT_TRUE(shot->diagnostic.border_required);
  EXPECT_LE(std::stoll(shot->diagnostic.capture_start_100ns), std::stoll(shot->diagnostic.frame_time_100ns));
  const auto png = testing::read_png(shot->png);
  ASSERT_TRUE(png);
  ASSERT_EQ(png->width, 240u);
  ASSERT_EQ(png->height, 160u);
  for (std::uint32_t y : {0u, 80u, 159u}) {
    EXPECT_EQ(colour_at(*png, 0, y), opaque(kLeft)) << y;
    EXPECT_EQ(colour_at(*png, 119, y), opaque(kLeft)) << y;
    EXPECT_EQ(colour_at(*png, 120, y), opaque(kRight)) << y;
    EXPECT_EQ(colour_at(*png, 239, y), opaque(kRight)) << y;
  }
}

TEST(WindowDcCaptureUnderWine, TheCoveredPartKeepsTheWindowsOwnColours) {
  PaintedWindow window(L"wgc covered", {400, 300, 640, 460});
  PaintedWindow cover(L"wgc cover", {560, 340, 700, 420}, true);  // over part of the right half
  // On screen the covering window is what shows there.
  HDC screen = GetDC(nullptr);
  const COLORREF on_screen = GetPixel(screen, 600, 380);
  ReleaseDC(nullptr, screen);
  ASSERT_EQ(on_screen, RGB(kCover.r, kCover.g, kCover.b));

  Capture capture(make_window_capture_sys());
  auto shot = capture.of(window);
  ASSERT_TRUE(shot) << shot.error().display_chain();
  const auto png = testing::read_png(shot->png);
  ASSERT_TRUE(png);
  EXPECT_EQ(colour_at(*png, 10, 10), opaque(kLeft));
  EXPECT_EQ(colour_at(*png, 200, 10), opaque(kRight));
  EXPECT_EQ(colour_at(*png, 200, 150), opaque(kRight));
  // Under the covering window (window pixels 160..239 x 40..119): the
  // target's own right half, not the window on top.
  for (std::uint32_t y : {40u, 80u, 119u}) {
    for (std::uint32_t x : {160u, 200u, 239u}) EXPECT_EQ(colour_at(*png, x, y), opaque(kRight)) << x << "," << y;
  }
}

#endif

}  // namespace
}  // namespace vor::desktop
