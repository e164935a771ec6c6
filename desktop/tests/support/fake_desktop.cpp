#include "support/fake_desktop.h"

#include <algorithm>
#include <stdexcept>

namespace vor::desktop::testing {

FakeDesktop::FakeDesktop() = default;

void FakeDesktop::add_process(std::uint32_t process_id, FakeProcess process) { processes_[process_id] = process; }

WindowHandle FakeDesktop::add_window(FakeWindow window) {
  const WindowHandle handle = next_handle_;
  next_handle_ += 0x10;
  windows_[handle] = std::move(window);
  z_order_.push_back(handle);
  return handle;
}

void FakeDesktop::remove_window(WindowHandle handle) {
  windows_.erase(handle);
  std::erase(z_order_, handle);
}

void FakeDesktop::raise(WindowHandle handle) {
  std::erase(z_order_, handle);
  z_order_.insert(z_order_.begin(), handle);
}

const FakeWindow* FakeDesktop::find(WindowHandle handle) const {
  auto it = windows_.find(handle);
  if (it == windows_.end() || clock.elapsed() < it->second.appears_after) return nullptr;
  return &it->second;
}

Win32<void> FakeDesktop::enum_windows(const std::function<bool(WindowHandle)>& visit) {
  ++enumerations_;
  // The z-order as it is when the enumeration starts.
  const std::vector<WindowHandle> order = z_order_;
  for (WindowHandle handle : order) {
    if (!find(handle)) continue;
    clock.advance(enumeration_cost);
    if (!visit(handle)) return win32_error(0);
  }
  return {};
}

std::uint32_t FakeDesktop::window_process_id(WindowHandle window) {
  const FakeWindow* w = find(window);
  return w ? w->process_id : 0;
}

bool FakeDesktop::is_visible(WindowHandle window) {
  const FakeWindow* w = find(window);
  return w && w->visible;
}

bool FakeDesktop::is_minimized(WindowHandle window) {
  const FakeWindow* w = find(window);
  return w && w->minimized;
}

Win32<Rect> FakeDesktop::window_rect(WindowHandle window) {
  const FakeWindow* w = find(window);
  if (!w) return win32_error(kFakeInvalidWindowHandle);
  if (w->rect_error) return win32_error(*w->rect_error);
  return w->rect;
}

std::u16string FakeDesktop::window_text(WindowHandle window, std::size_t capacity) {
  const FakeWindow* w = find(window);
  if (!w || capacity == 0) return {};
  return w->title.substr(0, capacity - 1);
}

WindowHandle FakeDesktop::root_ancestor(WindowHandle window) {
  const FakeWindow* w = find(window);
  if (!w) return 0;
  return w->root != 0 ? w->root : window;
}

WindowHandle FakeDesktop::window_from_point(std::int32_t x, std::int32_t y) {
  for (WindowHandle handle : z_order_) {
    const FakeWindow* w = find(handle);
    if (!w || !w->visible || w->minimized) continue;
    if (x >= w->rect.left && x < w->rect.right && y >= w->rect.top && y < w->rect.bottom) return handle;
  }
  return 0;
}

bool FakeDesktop::set_foreground(WindowHandle window) {
  if (!foreground_allowed || !find(window)) return false;
  foreground = window;
  return true;
}

std::expected<std::uint32_t, std::int32_t> FakeDesktop::cloaked(WindowHandle window) {
  const FakeWindow* w = find(window);
  if (!w) return std::unexpected<std::int32_t>(static_cast<std::int32_t>(0x80070578));  // HRESULT of 1400
  return w->cloaked;
}

Win32<std::uint32_t> FakeDesktop::display_affinity(WindowHandle window) {
  const FakeWindow* w = find(window);
  if (!w) return win32_error(kFakeInvalidWindowHandle);
  return w->display_affinity;
}

Win32<std::uint32_t> FakeDesktop::process_session_id(std::uint32_t process_id) {
  auto it = processes_.find(process_id);
  if (it == processes_.end()) return win32_error(kFakeInvalidParameter);
  if (it->second.session_error) return win32_error(*it->second.session_error);
  return it->second.session;
}

namespace {

class FakeProc final : public ProcSys::Process {
 public:
  FakeProc(const FakeProcess& facts, int& open_count) : facts_(facts), open_count_(open_count) { ++open_count_; }
  ~FakeProc() override { --open_count_; }
  Win32<std::uint64_t> creation_time() override {
    if (facts_.times_error) return win32_error(*facts_.times_error);
    return facts_.created;
  }
  Win32<bool> has_exited() override {
    if (facts_.wait_error) return win32_error(*facts_.wait_error);
    return facts_.exited;
  }
  Win32<std::u16string> image_path() override {
    if (facts_.image_error) return win32_error(*facts_.image_error);
    return facts_.image;
  }
  Result<std::string> user_sid() override {
    if (facts_.sid_error) return fail(*facts_.sid_error);
    return facts_.user_sid;
  }

 private:
  FakeProcess facts_;  // as they were when the process was opened
  int& open_count_;
};

}  // namespace

Win32<std::unique_ptr<ProcSys::Process>> FakeDesktop::open(std::uint32_t process_id, Access) {
  auto it = processes_.find(process_id);
  if (it == processes_.end()) return win32_error(kFakeInvalidParameter);
  if (it->second.open_error) return win32_error(*it->second.open_error);
  return std::unique_ptr<Process>(new FakeProc(it->second, open_queries_));
}

std::int16_t FakeDesktop::async_key_state(int virtual_key) {
  return held_keys.contains(virtual_key) ? static_cast<std::int16_t>(0x8000) : 0;
}

Win32<std::uint32_t> FakeDesktop::send_input(const std::vector<InputRecord>& records) {
  sent_batches.push_back(records);
  std::size_t count = records.size();
  if (!send_limits.empty()) {
    count = std::min<std::size_t>(count, send_limits.front());
    send_limits.pop_front();
  }
  if (count == 0 && !records.empty()) return win32_error(kFakeAccessDenied);
  inserted.insert(inserted.end(), records.begin(), records.begin() + static_cast<std::ptrdiff_t>(count));
  return static_cast<std::uint32_t>(count);
}

}  // namespace vor::desktop::testing
