// What the worker observed on the desktop: a top-level `Window`, a screen
// `Rect` and a UI Automation `Element`. The worker builds them, the response
// carries them, and a caller echoes a `Window` back as the target of a later
// action. All three are strict records, every field required.
//
//   auto w = decode_window(bytes);              // or window_from_value(tree)
//   if (!w) return fail(std::move(w.error()).context("CALLER_CODE"));
//   std::string out; encode_window(out, *w);    // handle/processCreated as numbers
//
// `handle` and `processCreated` are read from a JSON number or a string of 1 to
// 20 digits and always written as numbers. Decode errors are for logs only:
// callers wrap them under their own code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"
#include "common/json.h"
#include "common/time.h"

namespace vor::desktop {

struct Rect {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t right = 0;
  std::int32_t bottom = 0;
  bool operator==(const Rect&) const = default;
};

struct Window {
  bool minimized = false;
  std::uint64_t handle = 0;
  std::uint32_t process_id = 0;
  std::uint64_t process_created = 0;  // FILETIME of the owning process's creation
  Rect rect;
  std::string title;
  Time observed_at;
  std::uint32_t last_input_tick = 0;  // GetLastInputInfo milliseconds, wrapping
  bool foreground = false;
  bool operator==(const Window&) const = default;
};

struct Element {
  std::string automation_id;
  std::string name;
  std::string class_name;
  std::int32_t control_type = 0;
  Rect rect;
  bool enabled = false;
  bool offscreen = false;
  bool password = false;
  bool operator==(const Element&) const = default;
};

// Whole documents from bytes (whitespace around allowed, nothing else).
Result<Rect> decode_rect(std::string_view bytes);
Result<Window> decode_window(std::string_view bytes);
Result<Element> decode_element(std::string_view bytes);

// The same rules over an already parsed value.
Result<Rect> rect_from_value(const json::Value& value);
Result<Window> window_from_value(const json::Value& value);
Result<Element> element_from_value(const json::Value& value);

// Compact encodings, members in declaration order, appended to `out`.
void encode_rect(std::string& out, const Rect& rect);
void encode_window(std::string& out, const Window& window);
void encode_element(std::string& out, const Element& element);

// The same members as value trees, for documents built as trees.
json::Value rect_to_value(const Rect& rect);
json::Value window_to_value(const Window& window);
json::Value element_to_value(const Element& element);

}  // namespace vor::desktop
