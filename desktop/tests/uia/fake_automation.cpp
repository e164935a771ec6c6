#include "uia/fake_automation.h"

#include <algorithm>
#include <stdexcept>

#include "uia/element_operations.h"

namespace vor::desktop::uia::testing {

namespace {

// Counts itself among the fake's open references while it lives.
class Counted {
 public:
  explicit Counted(FakeAutomation& owner) : owner_(owner) { owner_.reference(1); }
  Counted(const Counted&) = delete;
  ~Counted() { owner_.reference(-1); }

 protected:
  FakeAutomation& owner_;
};

class FakeInvoke final : public InvokePattern, Counted {
 public:
  FakeInvoke(FakeAutomation& owner, int node) : Counted(owner), node_(node) {}
  HResult invoke() override {
    if (auto hr = owner_.call("Invoke", node_)) return *hr;
    ++owner_.invokes;
    if (owner_.on_invoke) owner_.on_invoke(node_);
    return 0;
  }

 private:
  int node_;
};

class FakeValue final : public ValuePattern, Counted {
 public:
  FakeValue(FakeAutomation& owner, int node) : Counted(owner), node_(node) {}
  HResult set_value(std::u16string_view text) override {
    if (auto hr = owner_.call("SetValue", node_)) return *hr;
    ++owner_.set_values;
    owner_.node(node_).current_value = std::u16string(text);
    if (owner_.on_set_value) owner_.on_set_value(node_, std::u16string(text));
    return 0;
  }
  Com<std::u16string> current_value() override {
    if (auto hr = owner_.call("get_CurrentValue", node_)) return com_error(*hr);
    return owner_.node(node_).current_value;
  }
  Com<bool> current_is_read_only() override {
    if (auto hr = owner_.call("get_CurrentIsReadOnly", node_)) return com_error(*hr);
    return owner_.node(node_).read_only;
  }

 private:
  int node_;
};

class FakeElement final : public AutomationElement, Counted {
 public:
  FakeElement(FakeAutomation& owner, int node) : Counted(owner), node_(node), cached_(owner.node(node)) {}
  int node() const { return node_; }

  Com<std::int32_t> process_id(PropertySource s) override { return read(s, "ProcessId", &FakeNode::process_id); }
  Com<Rect> bounding_rectangle(PropertySource s) override { return read(s, "BoundingRectangle", &FakeNode::rect); }
  Com<bool> is_password(PropertySource s) override { return read(s, "IsPassword", &FakeNode::password); }
  Com<WindowHandle> native_window_handle(PropertySource s) override {
    return read(s, "NativeWindowHandle", &FakeNode::native);
  }
  Com<std::u16string> automation_id(PropertySource s) override {
    return read(s, "AutomationId", &FakeNode::automation_id);
  }
  Com<std::u16string> name(PropertySource s) override { return read(s, "Name", &FakeNode::name); }
  Com<std::u16string> class_name(PropertySource s) override { return read(s, "ClassName", &FakeNode::class_name); }
  Com<std::int32_t> control_type(PropertySource s) override { return read(s, "ControlType", &FakeNode::control_type); }
  Com<bool> is_enabled(PropertySource s) override { return read(s, "IsEnabled", &FakeNode::enabled); }
  Com<bool> is_offscreen(PropertySource s) override { return read(s, "IsOffscreen", &FakeNode::offscreen); }
  Com<std::unique_ptr<InvokePattern>> invoke_pattern() override {
    if (auto hr = owner_.call("GetCurrentPatternAs", node_, "10000")) return com_error(*hr);
    if (!owner_.node(node_).invoke) return std::unique_ptr<InvokePattern>();
    return std::unique_ptr<InvokePattern>(new FakeInvoke(owner_, node_));
  }
  Com<std::unique_ptr<ValuePattern>> value_pattern() override {
    if (auto hr = owner_.call("GetCurrentPatternAs", node_, "10002")) return com_error(*hr);
    if (!owner_.node(node_).value) return std::unique_ptr<ValuePattern>();
    return std::unique_ptr<ValuePattern>(new FakeValue(owner_, node_));
  }

 private:
  template <class T>
  Com<T> read(PropertySource s, const char* property, T FakeNode::*member) {
    const bool cached = s == PropertySource::kCached;
    if (auto hr = owner_.call(std::string(cached ? "Cached" : "Current") + property, node_)) return com_error(*hr);
    if (cached) return cached_.*member;
    owner_.charge(node_);
    return owner_.node(node_).*member;
  }

  int node_;
  FakeNode cached_;  // the values when the element was built
};

int node_of(AutomationElement& e) { return static_cast<FakeElement&>(e).node(); }

Com<std::unique_ptr<AutomationElement>> build(FakeAutomation& owner, int node) {
  owner.charge(node);
  if (node < 0) return std::unique_ptr<AutomationElement>();
  return std::unique_ptr<AutomationElement>(new FakeElement(owner, node));
}

class FakeCache final : public CacheRequest, Counted {
 public:
  using Counted::Counted;
  ~FakeCache() override { owner_.log.push_back("Release(IUIAutomationCacheRequest)"); }
  HResult set_tree_scope_element() override { return owner_.call("put_TreeScope", -1, "1").value_or(0); }
  HResult add_property(PropertyId property) override {
    return owner_.call("AddProperty", -1, std::to_string(static_cast<int>(property))).value_or(0);
  }
};

class FakeWalker final : public TreeWalker, Counted {
 public:
  using Counted::Counted;
  Com<std::unique_ptr<AutomationElement>> first_child(AutomationElement& parent, CacheRequest&) override {
    const int id = node_of(parent);
    if (auto hr = owner_.call("GetFirstChildElementBuildCache", id)) return com_error(*hr);
    const auto& children = owner_.node(id).children;
    return build(owner_, children.empty() ? -1 : children.front());
  }
  Com<std::unique_ptr<AutomationElement>> next_sibling(AutomationElement& element, CacheRequest&) override {
    const int id = node_of(element);
    if (auto hr = owner_.call("GetNextSiblingElementBuildCache", id)) return com_error(*hr);
    const int parent = owner_.parent_of(id);
    if (parent < 0) return build(owner_, -1);
    const auto& siblings = owner_.node(parent).children;
    auto it = std::find(siblings.begin(), siblings.end(), id);
    if (it == siblings.end() || ++it == siblings.end()) return build(owner_, -1);
    return build(owner_, *it);
  }
};

class FakeSettings final : public AutomationSettings, Counted {
 public:
  using Counted::Counted;
  HResult put_auto_set_focus(bool on) override {
    return owner_.call("put_AutoSetFocus", -1, on ? "1" : "0").value_or(0);
  }
  HResult put_connection_timeout(std::uint32_t ms) override {
    return owner_.call("put_ConnectionTimeout", -1, std::to_string(ms)).value_or(0);
  }
  HResult put_transaction_timeout(std::uint32_t ms) override {
    return owner_.call("put_TransactionTimeout", -1, std::to_string(ms)).value_or(0);
  }
};

class FakeAutomationObject final : public Automation, Counted {
 public:
  using Counted::Counted;
  ~FakeAutomationObject() override { owner_.log.push_back("Release(IUIAutomation)"); }
  Com<std::unique_ptr<AutomationSettings>> query_settings() override {
    if (auto hr = owner_.call("QueryInterface", -1, "IUIAutomation2")) return com_error(*hr);
    return std::unique_ptr<AutomationSettings>(new FakeSettings(owner_));
  }
  Com<std::unique_ptr<CacheRequest>> create_cache_request() override {
    if (auto hr = owner_.call("CreateCacheRequest")) return com_error(*hr);
    return std::unique_ptr<CacheRequest>(new FakeCache(owner_));
  }
  Com<std::unique_ptr<AutomationElement>> element_from_handle_build_cache(WindowHandle window,
                                                                           CacheRequest&) override {
    const auto root = owner_.root_of(window);
    if (auto hr = owner_.call("ElementFromHandleBuildCache", root.value_or(-1))) return com_error(*hr);
    if (!root) return com_error(kFakeNotAvailable);
    return build(owner_, *root);
  }
  Com<std::unique_ptr<TreeWalker>> control_view_walker() override {
    if (auto hr = owner_.call("get_ControlViewWalker")) return com_error(*hr);
    return std::unique_ptr<TreeWalker>(new FakeWalker(owner_));
  }
  Com<bool> compare_elements(AutomationElement& first, AutomationElement& second) override {
    if (auto hr = owner_.call("CompareElements")) return com_error(*hr);
    owner_.charge(-1);
    return node_of(first) == node_of(second);
  }
};

}  // namespace

int FakeAutomation::add_root(WindowHandle window, FakeNode node) {
  nodes_.push_back(std::move(node));
  const int id = static_cast<int>(nodes_.size()) - 1;
  roots_[window] = id;
  return id;
}

int FakeAutomation::add_child(int parent, FakeNode node) {
  node.children.clear();
  nodes_.push_back(std::move(node));
  const int id = static_cast<int>(nodes_.size()) - 1;
  nodes_.at(static_cast<std::size_t>(parent)).children.push_back(id);
  return id;
}

int FakeAutomation::replace(int id) {
  nodes_.push_back(nodes_.at(static_cast<std::size_t>(id)));
  const int fresh = static_cast<int>(nodes_.size()) - 1;
  const int parent = parent_of(id);
  if (parent >= 0) {
    auto& siblings = node(parent).children;
    std::replace(siblings.begin(), siblings.end(), id, fresh);
  }
  node(id).gone = true;
  node(id).children.clear();
  return fresh;
}

void FakeAutomation::fail(std::string call, HResult hr, int times, int node) {
  injections_.push_back({std::move(call), hr, times, node});
}

void FakeAutomation::at(std::chrono::nanoseconds elapsed, std::function<void(FakeAutomation&)> change) {
  scheduled_.push_back({elapsed, std::move(change)});
}

int FakeAutomation::count(const std::string& entry) const {
  return static_cast<int>(std::count(log.begin(), log.end(), entry));
}

int FakeAutomation::touches(int node) const {
  auto it = touches_.find(node);
  return it == touches_.end() ? 0 : it->second;
}

std::optional<HResult> FakeAutomation::call(const std::string& name, int node, const std::string& argument) {
  for (Scheduled& s : scheduled_) {
    if (!s.done && clock_.elapsed() >= s.at) {
      s.done = true;
      s.change(*this);
    }
  }
  log.push_back(argument.empty() ? name : name + "(" + argument + ")");
  if (node >= 0) ++touches_[node];
  for (auto it = injections_.begin(); it != injections_.end(); ++it) {
    if (it->call != name || (it->node >= 0 && it->node != node)) continue;
    const HResult hr = it->hr;
    if (it->times > 0 && --it->times == 0) injections_.erase(it);
    return hr;
  }
  if (node >= 0 && nodes_.at(static_cast<std::size_t>(node)).gone) return kFakeNotAvailable;
  return std::nullopt;
}

void FakeAutomation::charge(int node) {
  if (node >= 0 && nodes_.at(static_cast<std::size_t>(node)).cost) {
    clock_.advance(*nodes_.at(static_cast<std::size_t>(node)).cost);
  } else {
    clock_.advance(call_cost);
  }
}

std::optional<int> FakeAutomation::root_of(WindowHandle window) const {
  auto it = roots_.find(window);
  if (it == roots_.end()) return std::nullopt;
  return it->second;
}

int FakeAutomation::parent_of(int id) const {
  for (std::size_t i = 0; i < nodes_.size(); ++i) {
    const auto& c = nodes_[i].children;
    if (std::find(c.begin(), c.end(), id) != c.end()) return static_cast<int>(i);
  }
  return -1;
}

HResult FakeAutomation::initialize_multithreaded() {
  log.push_back("CoInitializeEx");
  return init_result;
}

void FakeAutomation::uninitialize() { log.push_back("CoUninitialize"); }

Com<std::unique_ptr<Automation>> FakeAutomation::create_automation() {
  if (auto hr = call("CoCreateInstance")) return com_error(*hr);
  if (automation_null) return std::unique_ptr<Automation>();
  return std::unique_ptr<Automation>(new FakeAutomationObject(*this));
}

void FakeAutomation::discard_error_info() { log.push_back("GetErrorInfo"); }

// --- classic controls ---

WindowHandle FakeControls::add(FakeControl control) {
  const WindowHandle handle = next_handle_;
  next_handle_ += 0x10;
  controls_[handle] = std::move(control);
  return handle;
}

bool FakeControls::is_child(WindowHandle parent, WindowHandle window) {
  for (auto it = controls_.find(window); it != controls_.end(); it = controls_.find(it->second.parent)) {
    if (it->second.parent == parent) return true;
  }
  return false;
}

bool FakeControls::is_enabled(WindowHandle window) {
  auto it = controls_.find(window);
  return it == controls_.end() || it->second.enabled;
}

bool FakeControls::is_visible(WindowHandle window) {
  auto it = controls_.find(window);
  return it == controls_.end() ? desk_.is_visible(window) : it->second.visible;
}

WindowThread FakeControls::window_thread(WindowHandle window) {
  auto it = controls_.find(window);
  if (it != controls_.end()) return {it->second.thread_id, it->second.process_id};
  const std::uint32_t process = desk_.window_process_id(window);
  return {process == 0 ? 0u : 1u, process};
}

std::u16string FakeControls::class_name(WindowHandle window, std::size_t capacity) {
  auto it = controls_.find(window);
  if (it == controls_.end()) return {};
  return it->second.class_name.substr(0, capacity - 1);
}

bool FakeControls::is_unicode(WindowHandle window) {
  auto it = controls_.find(window);
  return it == controls_.end() || it->second.unicode;
}

std::uint32_t FakeControls::style(WindowHandle window) {
  auto it = controls_.find(window);
  return it == controls_.end() ? 0 : it->second.style;
}

WindowHandle FakeControls::parent(WindowHandle window) {
  auto it = controls_.find(window);
  return it == controls_.end() ? 0 : it->second.parent;
}

Win32<std::uintptr_t> FakeControls::send_message(WindowHandle window, std::uint32_t message, std::uintptr_t,
                                                 std::intptr_t, std::uint32_t flags, std::uint32_t timeout_ms) {
  return answer({window, message, flags, timeout_ms, {}});
}

Win32<std::uintptr_t> FakeControls::send_text(WindowHandle window, std::uint32_t message, std::u16string_view text,
                                              std::uint32_t flags, std::uint32_t timeout_ms) {
  return answer({window, message, flags, timeout_ms, std::u16string(text)});
}

Win32<std::uintptr_t> FakeControls::answer(SentMessage message) {
  sent.push_back(message);
  auto it = controls_.find(message.window);
  if (it == controls_.end()) return win32_error(vor::desktop::testing::kFakeInvalidWindowHandle);
  FakeControl& c = it->second;
  if (c.hung) {
    desk_.clock.advance(std::chrono::milliseconds(message.timeout_ms));
    return win32_error(kFakeSendTimeout);
  }
  std::uintptr_t result = 0;
  switch (message.message) {
    case kWmSetText:
      c.text = message.text;
      result = 1;
      break;
    case kEmGetPasswordChar:
      result = c.password_char;
      break;
    case kEmGetLimitText:
      result = c.limit;
      break;
    default:
      break;
  }
  if (on_message) on_message(message);
  return result;
}

}  // namespace vor::desktop::uia::testing
