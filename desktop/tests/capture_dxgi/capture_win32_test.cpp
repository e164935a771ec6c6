// Desktop duplication against Wine: the real DXGI enumeration of Xvfb's one
// screen and Wine's refusal of DuplicateOutput, then, through this build's
// adapter (the stand-in duplication), a capture of windows of the test's own
// whose painted colours come back in the PNG.
#include <windows.h>

#include <gtest/gtest.h>

#include "capture_dxgi/capture.h"
#include "capture_dxgi/duplication_win32.h"
#include "desktop/tests/capture_dxgi/png_read.h"

namespace vor::desktop {
namespace {

constexpr Rect kScreen{0, 0, 1280, 1024};
constexpr std::int32_t kENotImpl = static_cast<std::int32_t>(0x80004001u);

// The HRESULT of a failed call, 0 for success.
template <class T>
std::int32_t hresult_of(const Hresult<T>& r) {
  return r ? 0 : r.error();
}

void pump_messages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// Paints the left half of the client area in the window's "left" colour
// (GWLP_USERDATA) and lets the class brush fill the rest.
LRESULT CALLBACK paint_halves(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    RECT client;
    GetClientRect(hwnd, &client);
    client.right /= 2;
    HBRUSH brush = CreateSolidBrush(static_cast<COLORREF>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)));
    FillRect(dc, &client, brush);
    DeleteObject(brush);
    EndPaint(hwnd, &ps);
    return 0;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

// A shown popup window with a right colour (its class brush) and a left
// colour, left to the process's exit (hiding costs 2 s under Wine).
HWND show_window(const wchar_t* class_name, const RECT& r, COLORREF left, COLORREF right) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = paint_halves;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hbrBackground = CreateSolidBrush(right);
  wc.lpszClassName = class_name;
  RegisterClassW(&wc);
  HWND hwnd = CreateWindowExW(0, class_name, L"Capture", WS_POPUP, r.left, r.top, r.right - r.left,
                              r.bottom - r.top, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  SetWindowLongPtrW(hwnd, GWLP_USERDATA, static_cast<LONG_PTR>(left));
  ShowWindow(hwnd, SW_SHOW);
  UpdateWindow(hwnd);
  pump_messages();
  return hwnd;
}

TEST(DxgiWin32, WineEnumeratesItsScreenAndRefusesDuplicateOutput) {
  auto sys = make_dxgi_duplication_sys(dxgi_duplicate_output);
  auto factory = sys->create_factory();
  ASSERT_TRUE(factory && *factory) << std::hex << hresult_of(factory);
  auto adapter = (*factory)->enum_adapter(0);
  ASSERT_TRUE(adapter && *adapter);
  auto output = (*adapter)->enum_output(0);
  ASSERT_TRUE(output && *output);
  auto desc = (*output)->desc();
  ASSERT_TRUE(desc);
  EXPECT_EQ(desc->desktop, kScreen);
  EXPECT_TRUE(desc->attached);
  EXPECT_EQ(desc->rotation, kDxgiModeRotationIdentity);
  EXPECT_EQ(hresult_of((*adapter)->enum_output(1)), kDxgiErrorNotFound);
  EXPECT_EQ(hresult_of((*factory)->enum_adapter(1)), kDxgiErrorNotFound);

  auto created = (*adapter)->create_device();
  ASSERT_TRUE(created);
  ASSERT_TRUE(created->device && created->context);
  EXPECT_EQ(hresult_of((*output)->duplicate(*created->device)), kENotImpl);

  // The whole capture through the real calls: the refusal, as its code.
  auto capture = capture_screen_dxgi(*sys, system_clock(), Rect{10, 10, 110, 110});
  ASSERT_FALSE(capture);
  EXPECT_EQ(capture.error().display_chain(), "DESKTOP_CAPTURE_GPU_UNAVAILABLE");
  EXPECT_EQ(capture.error().find<CaptureFailure>(), nullptr);
  // A rectangle off the screen is refused before any duplication.
  EXPECT_EQ(capture_screen_dxgi(*sys, system_clock(), Rect{1200, 10, 1300, 110}).error().outermost(),
            "DESKTOP_CAPTURE_REGION_UNSUPPORTED");
}

TEST(DxgiWin32, TheStandInCapturesOurWindowsAsComposedOnScreen) {
  const RECT below{200, 150, 520, 390};  // 320 x 240
  const RECT above{440, 330, 600, 450};  // covers the lower right corner of `below`
  show_window(L"VorCaptureBelow", below, RGB(200, 40, 90), RGB(20, 160, 220));
  HWND top = show_window(L"VorCaptureAbove", above, RGB(250, 250, 10), RGB(250, 250, 10));
  SetWindowPos(top, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  pump_messages();

  auto sys = make_win32_duplication_sys();
  const Rect crop{below.left, below.top, below.right, below.bottom};
  auto capture = capture_screen_dxgi(*sys, system_clock(), crop);
  ASSERT_TRUE(capture) << capture.error().display_chain();
  EXPECT_EQ(capture->width, 320u);
  EXPECT_EQ(capture->height, 240u);
  auto png = testing::read_png(capture->png);
  ASSERT_TRUE(png);
  ASSERT_EQ(png->width, 320u);
  ASSERT_EQ(png->height, 240u);
  auto expect_colour = [&](std::uint32_t x, std::uint32_t y, COLORREF c) {
    const std::uint8_t* p = png->at(x, y);
    EXPECT_EQ(p[0], GetRValue(c)) << x << "," << y;
    EXPECT_EQ(p[1], GetGValue(c)) << x << "," << y;
    EXPECT_EQ(p[2], GetBValue(c)) << x << "," << y;
    EXPECT_EQ(p[3], 255);
  };
  expect_colour(5, 5, RGB(200, 40, 90));      // left half, painted by WM_PAINT
  expect_colour(155, 230, RGB(200, 40, 90));
  expect_colour(170, 5, RGB(20, 160, 220));   // right half, the class brush
  expect_colour(235, 175, RGB(20, 160, 220)); // just left of and above the covering window
  expect_colour(245, 185, RGB(250, 250, 10)); // the window above, where it covers ours
  expect_colour(319, 239, RGB(250, 250, 10));

  const CaptureDiagnostic& d = capture->diagnostic;
  EXPECT_EQ(d.method, "dxgi_desktop_duplication");
  EXPECT_EQ(d.crop_desktop_rect, crop);
  EXPECT_EQ(d.output_desktop_rect, kScreen);
  ASSERT_TRUE(d.dxgi);
  EXPECT_EQ(d.dxgi->adapter_index, 0u);
  EXPECT_EQ(d.dxgi->output_index, 0u);
  EXPECT_EQ(d.dxgi->acquire_attempts, 1u);
  ASSERT_TRUE(d.dxgi->source_texture);
  EXPECT_EQ(d.dxgi->source_texture->width, 1280u);
  EXPECT_EQ(d.dxgi->source_texture->format, 87);
  ASSERT_TRUE(d.dxgi->staging_texture);
  EXPECT_EQ(*d.dxgi->staging_texture, (TextureDiagnostic{320, 240, 87, 3, 0x20000, 1}));
  ASSERT_TRUE(d.dxgi->row_pitch);
  EXPECT_GE(*d.dxgi->row_pitch, 320u * 4);
  EXPECT_EQ(d.dxgi->raw_nonzero_rgb_pixels, 320u * 240);
  EXPECT_EQ(d.dxgi->raw_nonzero_alpha_pixels, 320u * 240);
}

}  // namespace
}  // namespace vor::desktop
