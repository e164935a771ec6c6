// Strict JSON: a small value tree, its reader and writers, and the helpers
// that typed document decoders are built from.
//
//   auto tree = json::parse(bytes);            // one whole document, or an error
//   auto doc = json::decode_document(bytes, rect_from_value);  // parse + typed decoder
//   json::Record r(*tree, kKeys);              // strict field table (kKeys: the declared keys)
//   r.required("left", rect.left).optional("title", sel.title);
//   return r.finish(rect);                     // the record, or the first failure
//   json::ObjectWriter w(out);                 // compact writer, declared order
//   json::write_int(w.key("left"), rect.left); w.close();
//
// Reader (`parse`): whitespace is only space, tab, LF and CR; a byte-order
// mark, trailing bytes, invalid UTF-8, raw control characters in strings,
// unpaired surrogate escapes and nesting of 128 or more levels are refused.
// Objects keep their members in order, duplicates included: typed decoders
// decide about duplicates (a declared key twice fails). Number kinds stay
// apart: a non-negative integer is kUnsigned (any u64), a negative one
// kSigned, anything with a fraction or an exponent (or outside 64 bits) kFloat.
//
// Writers: `write` is compact with members in held order; `write_sorted` is
// the "raw value" form, object members in ascending byte order of their keys
// (equal keys keep their order). Strings escape `"` and `\`, \b \t \n \f \r,
// other U+0000..U+001F as \u00xx (lower-case hex); everything else, "/" and
// U+007F included, is written as its UTF-8 bytes.
//
// Error texts of this module are for logs only: every caller wraps a failure
// under its own code. Nothing here throws.
#pragma once

#include <chrono>
#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "common/error.h"
#include "common/time.h"

namespace vor::json {

inline constexpr std::size_t kMaxDepth = 128;  // nesting refused at this many levels

struct Member;
class Value;
using Array = std::vector<Value>;
using Object = std::vector<Member>;

struct Float {
  double value = 0;
  std::string text;  // the number as read; empty for a computed value
  bool operator==(const Float&) const = default;
};

class Value {
 public:
  enum class Kind { kNull, kBool, kUnsigned, kSigned, kFloat, kString, kArray, kObject };

  // Constructors are defined below, once Member is complete.
  Value();
  Value(std::nullptr_t);
  template <class I>
    requires std::integral<I>
  Value(I number);  // bool as kBool; negative signed as kSigned; others as kUnsigned
  Value(Float number);
  Value(std::string text);
  Value(std::string_view text);
  Value(const char* text);
  Value(Array items);
  Value(Object members);
  Value(const Value&);
  Value(Value&&) noexcept;
  Value& operator=(const Value&);
  Value& operator=(Value&&) noexcept;
  ~Value();

  Kind kind() const { return static_cast<Kind>(data_.index()); }
  bool is_null() const { return kind() == Kind::kNull; }

  // The held value when it is of that type, else nullptr. kSigned is always negative.
  const bool* as_bool() const { return std::get_if<bool>(&data_); }
  const std::uint64_t* as_unsigned() const { return std::get_if<std::uint64_t>(&data_); }
  const std::int64_t* as_signed() const { return std::get_if<std::int64_t>(&data_); }
  const Float* as_float() const { return std::get_if<Float>(&data_); }
  const std::string* as_string() const { return std::get_if<std::string>(&data_); }
  const Array* as_array() const { return std::get_if<Array>(&data_); }
  const Object* as_object() const { return std::get_if<Object>(&data_); }
  Array* as_array() { return std::get_if<Array>(&data_); }
  Object* as_object() { return std::get_if<Object>(&data_); }

  // The first member with this key, or nullptr (also for a non-object).
  const Value* find(std::string_view key) const;

  bool operator==(const Value& other) const;

 private:
  std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, Float, std::string, Array, Object> data_;
};

struct Member {
  std::string key;
  Value value;
  bool operator==(const Member&) const = default;
};

inline Value::Value() = default;
inline Value::Value(std::nullptr_t) {}
template <class I>
  requires std::integral<I>
Value::Value(I number) {
  if constexpr (std::same_as<I, bool>) {
    data_ = number;
  } else if constexpr (std::is_signed_v<I>) {
    if (number < 0) {
      data_ = static_cast<std::int64_t>(number);
    } else {
      data_ = static_cast<std::uint64_t>(number);
    }
  } else {
    data_ = static_cast<std::uint64_t>(number);
  }
}
inline Value::Value(Float number) : data_(std::move(number)) {}
inline Value::Value(std::string text) : data_(std::move(text)) {}
inline Value::Value(std::string_view text) : data_(std::string(text)) {}
inline Value::Value(const char* text) : data_(std::string(text)) {}
inline Value::Value(Array items) : data_(std::move(items)) {}
inline Value::Value(Object members) : data_(std::move(members)) {}
inline Value::Value(const Value&) = default;
inline Value::Value(Value&&) noexcept = default;
inline Value& Value::operator=(const Value&) = default;
inline Value& Value::operator=(Value&&) noexcept = default;
inline Value::~Value() = default;
inline bool Value::operator==(const Value& other) const { return data_ == other.data_; }

// --- reader ---

// Exactly one JSON value, optionally surrounded by whitespace.
Result<Value> parse(std::string_view bytes);

// --- writers (append to `out`) ---

void write(std::string& out, const Value& value);         // held member order
void write_sorted(std::string& out, const Value& value);  // keys in ascending byte order
std::string to_string(const Value& value);                // write() into a new string
std::string to_sorted_string(const Value& value);         // write_sorted() into a new string

void write_string(std::string& out, std::string_view text);  // text must be valid UTF-8
void write_uint(std::string& out, std::uint64_t number);
void write_int(std::string& out, std::int64_t number);
void write_bool(std::string& out, bool value);
void write_null(std::string& out);
void write_time(std::string& out, Time time);  // RFC 3339 UTC string

// Writes `{`, then `"key":` per member with the commas between, then `}`.
class ObjectWriter {
 public:
  explicit ObjectWriter(std::string& out) : out_(out) { out_ += '{'; }
  // Writes the separator and `"key":`; the caller appends the value to the result.
  std::string& key(std::string_view name);
  void close() { out_ += '}'; }

 private:
  std::string& out_;
  bool first_ = true;
};

// --- typed decoding ---

// Converters from a value to a field kind; each refuses every other JSON type.
// Integer kinds refuse floats (1.0, 1e3) and values outside their range.
Result<bool> to_bool(const Value& v);
Result<std::uint32_t> to_u32(const Value& v);
Result<std::int32_t> to_i32(const Value& v);
Result<std::uint64_t> to_u64(const Value& v);
Result<std::int64_t> to_i64(const Value& v);
Result<std::string> to_text(const Value& v);
Result<Time> to_time(const Value& v);  // RFC 3339 string, any offset, held in UTC
// A u64 JSON number, or a string of 1 to 20 ASCII digits whose value fits in 64 bits.
Result<std::uint64_t> to_scalar(const Value& v);

// The default converter of a field type, used by Record when none is given.
template <class T>
Result<T> to(const Value& v);
template <> inline Result<bool> to<bool>(const Value& v) { return to_bool(v); }
template <> inline Result<std::uint32_t> to<std::uint32_t>(const Value& v) { return to_u32(v); }
template <> inline Result<std::int32_t> to<std::int32_t>(const Value& v) { return to_i32(v); }
template <> inline Result<std::uint64_t> to<std::uint64_t>(const Value& v) { return to_u64(v); }
template <> inline Result<std::int64_t> to<std::int64_t>(const Value& v) { return to_i64(v); }
template <> inline Result<std::string> to<std::string>(const Value& v) { return to_text(v); }
template <> inline Result<Time> to<Time>(const Value& v) { return to_time(v); }

// An array whose elements each decode with `element` (Value -> Result<T>).
template <class F>
auto to_array(const Value& v, F&& element)
    -> Result<std::vector<typename std::invoke_result_t<F, const Value&>::value_type>> {
  using T = typename std::invoke_result_t<F, const Value&>::value_type;
  const Array* items = v.as_array();
  if (!items) return fail("json: expected an array");
  std::vector<T> out;
  out.reserve(items->size());
  for (const Value& item : *items) {
    VOR_ASSIGN_OR_RETURN(auto decoded, element(item));
    out.push_back(std::move(decoded));
  }
  return out;
}

// One whole document from bytes: `parse`, then `from_value` (Value -> Result<T>).
template <class F>
auto decode_document(std::string_view bytes, F&& from_value) -> std::invoke_result_t<F, const Value&> {
  VOR_ASSIGN_OR_RETURN(auto tree, parse(bytes));
  return from_value(tree);
}

enum class Mode {
  kStrict,   // a key that is not declared fails the record
  kLenient,  // a key that is not declared is skipped
};

// The members of a record object matched against its declared keys.
// Fails (status()) on a value that is not an object, a declared key given twice
// (even after null), an undeclared key in strict mode, a missing required field
// and a field that does not convert; the first failure is kept and later calls
// do nothing. With `tagged`, the "kind" member belongs to the union and is
// neither a field nor an undeclared key (read the tag with `read_tag`).
class Record {
 public:
  Record(const Value& value, std::span<const std::string_view> keys, Mode mode = Mode::kStrict,
         bool tagged = false);

  template <class T>
  Record& required(std::string_view key, T& out) {
    return required(key, out, [](const Value& v) { return to<T>(v); });
  }
  template <class T, class F>
  Record& required(std::string_view key, T& out, F&& convert) {
    if (!error_.empty()) return *this;
    const Value* v = member(key);
    if (!v) return fail_with("json: missing field", key);
    auto r = convert(*v);
    if (!r) return fail_with(std::move(r.error()), key);
    out = std::move(*r);
    return *this;
  }

  // Absent and null are both none.
  template <class T>
  Record& optional(std::string_view key, std::optional<T>& out) {
    return optional(key, out, [](const Value& v) { return to<T>(v); });
  }
  template <class T, class F>
  Record& optional(std::string_view key, std::optional<T>& out, F&& convert) {
    if (!error_.empty()) return *this;
    const Value* v = member(key);
    if (!v || v->is_null()) {
      out.reset();
      return *this;
    }
    auto r = convert(*v);
    if (!r) return fail_with(std::move(r.error()), key);
    out = std::move(*r);
    return *this;
  }

  // `value` when every step succeeded, else the first failure.
  template <class T>
  Result<T> finish(T value) const {
    if (!error_.empty()) return fail(error_);
    return value;
  }

  // The member's value, or nullptr when absent or when the record failed.
  const Value* member(std::string_view key) const;

  Status status() const;

 private:
  Record& fail_with(std::string message, std::string_view key);
  Record& fail_with(Error error, std::string_view key);

  std::span<const std::string_view> keys_;
  std::vector<const Value*> slots_;  // by index of keys_
  Error error_;
};

// The tag of a tagged union: the object must hold exactly one "kind" member,
// anywhere among its members, and it must be a string naming one of `names`
// (exact, case-sensitive). Returns the index of that name.
Result<std::size_t> read_tag(const Value& value, std::span<const std::string_view> names);

// The index of `text` in `names`, for enumerations written as strings.
Result<std::size_t> read_name(const Value& value, std::span<const std::string_view> names);

}  // namespace vor::json
