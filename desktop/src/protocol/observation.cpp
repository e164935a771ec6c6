#include "protocol/observation.h"

namespace vor::desktop {
namespace {

constexpr std::string_view kRectKeys[] = {"left", "top", "right", "bottom"};
constexpr std::string_view kWindowKeys[] = {"minimized", "handle", "processId", "processCreated", "rect",
                                            "title", "observedAt", "lastInputTick", "foreground"};
constexpr std::string_view kElementKeys[] = {"automationId", "name",    "className", "controlType",
                                             "rect",         "enabled", "offscreen", "password"};

}  // namespace

Result<Rect> rect_from_value(const json::Value& value) {
  Rect rect;
  json::Record r(value, kRectKeys);
  r.required("left", rect.left).required("top", rect.top).required("right", rect.right).required("bottom", rect.bottom);
  return r.finish(rect);
}

Result<Window> window_from_value(const json::Value& value) {
  Window w;
  json::Record r(value, kWindowKeys);
  r.required("minimized", w.minimized)
      .required("handle", w.handle, json::to_scalar)
      .required("processId", w.process_id)
      .required("processCreated", w.process_created, json::to_scalar)
      .required("rect", w.rect, rect_from_value)
      .required("title", w.title)
      .required("observedAt", w.observed_at)
      .required("lastInputTick", w.last_input_tick)
      .required("foreground", w.foreground);
  return r.finish(std::move(w));
}

Result<Element> element_from_value(const json::Value& value) {
  Element e;
  json::Record r(value, kElementKeys);
  r.required("automationId", e.automation_id)
      .required("name", e.name)
      .required("className", e.class_name)
      .required("controlType", e.control_type)
      .required("rect", e.rect, rect_from_value)
      .required("enabled", e.enabled)
      .required("offscreen", e.offscreen)
      .required("password", e.password);
  return r.finish(std::move(e));
}

Result<Rect> decode_rect(std::string_view bytes) { return json::decode_document(bytes, rect_from_value); }
Result<Window> decode_window(std::string_view bytes) { return json::decode_document(bytes, window_from_value); }
Result<Element> decode_element(std::string_view bytes) { return json::decode_document(bytes, element_from_value); }

void encode_rect(std::string& out, const Rect& rect) {
  json::ObjectWriter o(out);
  json::write_int(o.key("left"), rect.left);
  json::write_int(o.key("top"), rect.top);
  json::write_int(o.key("right"), rect.right);
  json::write_int(o.key("bottom"), rect.bottom);
  o.close();
}

void encode_window(std::string& out, const Window& w) {
  json::ObjectWriter o(out);
  json::write_bool(o.key("minimized"), w.minimized);
  json::write_uint(o.key("handle"), w.handle);
  json::write_uint(o.key("processId"), w.process_id);
  json::write_uint(o.key("processCreated"), w.process_created);
  encode_rect(o.key("rect"), w.rect);
  json::write_string(o.key("title"), w.title);
  json::write_time(o.key("observedAt"), w.observed_at);
  json::write_uint(o.key("lastInputTick"), w.last_input_tick);
  json::write_bool(o.key("foreground"), w.foreground);
  o.close();
}

void encode_element(std::string& out, const Element& e) {
  json::ObjectWriter o(out);
  json::write_string(o.key("automationId"), e.automation_id);
  json::write_string(o.key("name"), e.name);
  json::write_string(o.key("className"), e.class_name);
  json::write_int(o.key("controlType"), e.control_type);
  encode_rect(o.key("rect"), e.rect);
  json::write_bool(o.key("enabled"), e.enabled);
  json::write_bool(o.key("offscreen"), e.offscreen);
  json::write_bool(o.key("password"), e.password);
  o.close();
}

json::Value rect_to_value(const Rect& rect) {
  return json::Object{{"left", rect.left}, {"top", rect.top}, {"right", rect.right}, {"bottom", rect.bottom}};
}

json::Value window_to_value(const Window& w) {
  return json::Object{{"minimized", w.minimized},
                      {"handle", w.handle},
                      {"processId", w.process_id},
                      {"processCreated", w.process_created},
                      {"rect", rect_to_value(w.rect)},
                      {"title", w.title},
                      {"observedAt", format_rfc3339(w.observed_at)},
                      {"lastInputTick", w.last_input_tick},
                      {"foreground", w.foreground}};
}

json::Value element_to_value(const Element& e) {
  return json::Object{{"automationId", e.automation_id}, {"name", e.name},
                      {"className", e.class_name},       {"controlType", e.control_type},
                      {"rect", rect_to_value(e.rect)},   {"enabled", e.enabled},
                      {"offscreen", e.offscreen},        {"password", e.password}};
}

}  // namespace vor::desktop
