#include "protocol/observation.h"

#include "common/json_fields.h"

namespace vor::desktop {
namespace {

constexpr auto kRect = fields::record<Rect>([](auto& f, auto& r) {
  f.required("left", r.left);
  f.required("top", r.top);
  f.required("right", r.right);
  f.required("bottom", r.bottom);
});

constexpr auto kWindow = fields::record<Window>([](auto& f, auto& w) {
  f.required("minimized", w.minimized);
  f.required("handle", w.handle, fields::Scalar{});
  f.required("processId", w.process_id);
  f.required("processCreated", w.process_created, fields::Scalar{});
  f.required("rect", w.rect, kRect);
  f.required("title", w.title);
  f.required("observedAt", w.observed_at);
  f.required("lastInputTick", w.last_input_tick);
  f.required("foreground", w.foreground);
});

constexpr auto kElement = fields::record<Element>([](auto& f, auto& e) {
  f.required("automationId", e.automation_id);
  f.required("name", e.name);
  f.required("className", e.class_name);
  f.required("controlType", e.control_type);
  f.required("rect", e.rect, kRect);
  f.required("enabled", e.enabled);
  f.required("offscreen", e.offscreen);
  f.required("password", e.password);
});

}  // namespace

Result<Rect> rect_from_value(const json::Value& value) { return kRect.from(value); }
Result<Window> window_from_value(const json::Value& value) { return kWindow.from(value); }
Result<Element> element_from_value(const json::Value& value) { return kElement.from(value); }

Result<Rect> decode_rect(std::string_view bytes) { return json::decode_document(bytes, rect_from_value); }
Result<Window> decode_window(std::string_view bytes) { return json::decode_document(bytes, window_from_value); }
Result<Element> decode_element(std::string_view bytes) { return json::decode_document(bytes, element_from_value); }

void encode_rect(std::string& out, const Rect& rect) { kRect.write(out, rect); }
void encode_window(std::string& out, const Window& w) { kWindow.write(out, w); }
void encode_element(std::string& out, const Element& e) { kElement.write(out, e); }

json::Value rect_to_value(const Rect& rect) { return kRect.tree(rect); }
json::Value window_to_value(const Window& w) { return kWindow.tree(w); }
json::Value element_to_value(const Element& e) { return kElement.tree(e); }

}  // namespace vor::desktop
