#include "common/json.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>

#include <nlohmann/json.hpp>

#include "common/text.h"

namespace vor::json {
namespace {

// Builds the value tree from nlohmann's SAX events. Returning false from an
// event stops the parse; the first reason is kept.
class TreeBuilder {
 public:
  using number_integer_t = std::int64_t;
  using number_unsigned_t = std::uint64_t;
  using number_float_t = double;
  using string_t = std::string;
  using binary_t = nlohmann::json::binary_t;

  bool null() { return add(Value()); }
  bool boolean(bool b) { return add(Value(b)); }
  bool number_integer(std::int64_t i) { return add(Value(i)); }  // "-0" becomes unsigned 0
  bool number_unsigned(std::uint64_t u) { return add(Value(u)); }
  bool number_float(double d, const std::string& text) {
    if (!std::isfinite(d)) return refuse("json: number out of range");
    return add(Value(Float{d, text}));
  }
  bool string(std::string& s) {
    if (!is_valid_utf8(s)) return refuse("json: invalid UTF-8");
    return add(Value(std::move(s)));
  }
  bool binary(binary_t&) { return refuse("json: binary value"); }
  bool start_object(std::size_t) { return open(Value(Object{})); }
  bool start_array(std::size_t) { return open(Value(Array{})); }
  bool key(std::string& k) {
    if (!is_valid_utf8(k)) return refuse("json: invalid UTF-8");
    stack_.back().as_object()->push_back(Member{std::move(k), Value()});
    return true;
  }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception& e) {
    return refuse(std::string("json: ") + e.what());
  }

  std::optional<Value>& root() { return root_; }
  const std::string& reason() const { return reason_; }

 private:
  bool refuse(std::string why) {
    if (reason_.empty()) reason_ = std::move(why);
    return false;
  }
  bool open(Value container) {
    if (stack_.size() + 1 >= kMaxDepth) return refuse("json: nesting too deep");
    stack_.push_back(std::move(container));
    return true;
  }
  bool close() {
    Value done = std::move(stack_.back());
    stack_.pop_back();
    return add(std::move(done));
  }
  bool add(Value v) {
    if (stack_.empty()) {
      root_ = std::move(v);
    } else if (Array* items = stack_.back().as_array()) {
      items->push_back(std::move(v));
    } else {
      stack_.back().as_object()->back().value = std::move(v);
    }
    return true;
  }

  std::vector<Value> stack_;
  std::optional<Value> root_;
  std::string reason_;
};

void write_float(std::string& out, const Float& f) {
  if (!f.text.empty()) {
    out += f.text;
    return;
  }
  if (!std::isfinite(f.value)) {
    out += "null";
    return;
  }
  char buf[32];
  const int n = std::snprintf(buf, sizeof buf, "%.17g", f.value);
  std::string_view text(buf, static_cast<std::size_t>(n));
  out += text;
  if (text.find_first_of(".eE") == std::string_view::npos) out += ".0";
}

void write_value(std::string& out, const Value& v, bool sorted) {
  switch (v.kind()) {
    case Value::Kind::kNull:
      write_null(out);
      return;
    case Value::Kind::kBool:
      write_bool(out, *v.as_bool());
      return;
    case Value::Kind::kUnsigned:
      write_uint(out, *v.as_unsigned());
      return;
    case Value::Kind::kSigned:
      write_int(out, *v.as_signed());
      return;
    case Value::Kind::kFloat:
      write_float(out, *v.as_float());
      return;
    case Value::Kind::kString:
      write_string(out, *v.as_string());
      return;
    case Value::Kind::kArray: {
      out += '[';
      bool first = true;
      for (const Value& item : *v.as_array()) {
        if (!first) out += ',';
        first = false;
        write_value(out, item, sorted);
      }
      out += ']';
      return;
    }
    case Value::Kind::kObject: {
      const Object& members = *v.as_object();
      std::vector<const Member*> order;
      order.reserve(members.size());
      for (const Member& m : members) order.push_back(&m);
      if (sorted) {
        std::stable_sort(order.begin(), order.end(),
                         [](const Member* a, const Member* b) { return a->key < b->key; });
      }
      ObjectWriter w(out);
      for (const Member* m : order) write_value(w.key(m->key), m->value, sorted);
      w.close();
      return;
    }
  }
}

constexpr std::string_view kKind = "kind";

}  // namespace

const Value* Value::find(std::string_view key) const {
  const Object* members = as_object();
  if (!members) return nullptr;
  for (const Member& m : *members) {
    if (m.key == key) return &m.value;
  }
  return nullptr;
}

Result<Value> parse(std::string_view bytes) {
  if (bytes.starts_with("\xEF\xBB\xBF")) return fail("json: byte-order mark");
  // The lexer takes a NUL byte for the end of input; no raw NUL is valid JSON.
  if (bytes.find('\0') != std::string_view::npos) return fail("json: NUL byte");
  TreeBuilder builder;
  bool ok = false;
  try {
    ok = nlohmann::json::sax_parse(bytes.begin(), bytes.end(), &builder, nlohmann::json::input_format_t::json,
                                   /*strict=*/true, /*ignore_comments=*/false);
  } catch (const std::exception&) {
    return fail("json: reader failure");
  }
  if (!ok || !builder.root()) {
    return fail(builder.reason().empty() ? std::string("json: invalid document") : builder.reason());
  }
  return std::move(*builder.root());
}

void write(std::string& out, const Value& value) { write_value(out, value, false); }
void write_sorted(std::string& out, const Value& value) { write_value(out, value, true); }

std::string to_string(const Value& value) {
  std::string out;
  write(out, value);
  return out;
}

std::string to_sorted_string(const Value& value) {
  std::string out;
  write_sorted(out, value);
  return out;
}

void write_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t run = 0;  // start of the pending unescaped bytes
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.substr(run, i - run));
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
  }
  out.append(text.substr(run));
  out += '"';
}

void write_uint(std::string& out, std::uint64_t number) {
  char buf[20];
  std::size_t n = 0;
  do {
    buf[n++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  while (n > 0) out += buf[--n];
}

void write_int(std::string& out, std::int64_t number) {
  if (number < 0) {
    out += '-';
    write_uint(out, 0 - static_cast<std::uint64_t>(number));
  } else {
    write_uint(out, static_cast<std::uint64_t>(number));
  }
}

void write_bool(std::string& out, bool value) { out += value ? "true" : "false"; }
void write_null(std::string& out) { out += "null"; }

void write_time(std::string& out, Time time) {
  out += '"';
  append_rfc3339(out, time);
  out += '"';
}

std::string& ObjectWriter::key(std::string_view name) {
  if (!first_) out_ += ',';
  first_ = false;
  write_string(out_, name);
  out_ += ':';
  return out_;
}

// --- converters ---

Result<bool> to_bool(const Value& v) {
  if (const bool* b = v.as_bool()) return *b;
  return fail("json: expected a boolean");
}

Result<std::uint64_t> to_u64(const Value& v) {
  if (const std::uint64_t* u = v.as_unsigned()) return *u;
  return fail("json: expected an unsigned integer");
}

Result<std::int64_t> to_i64(const Value& v) {
  if (const std::int64_t* i = v.as_signed()) return *i;
  if (const std::uint64_t* u = v.as_unsigned()) {
    if (*u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return static_cast<std::int64_t>(*u);
    }
    return fail("json: integer out of range");
  }
  return fail("json: expected an integer");
}

Result<std::uint32_t> to_u32(const Value& v) {
  VOR_ASSIGN_OR_RETURN(auto u, to_u64(v));
  if (u > std::numeric_limits<std::uint32_t>::max()) return fail("json: integer out of range");
  return static_cast<std::uint32_t>(u);
}

Result<std::int32_t> to_i32(const Value& v) {
  VOR_ASSIGN_OR_RETURN(auto i, to_i64(v));
  if (i < std::numeric_limits<std::int32_t>::min() || i > std::numeric_limits<std::int32_t>::max()) {
    return fail("json: integer out of range");
  }
  return static_cast<std::int32_t>(i);
}

Result<std::string> to_text(const Value& v) {
  if (const std::string* s = v.as_string()) return *s;
  return fail("json: expected a string");
}

Result<Time> to_time(const Value& v) {
  const std::string* s = v.as_string();
  if (!s) return fail("json: expected a time string");
  auto t = parse_rfc3339(*s);
  if (!t) return fail("json: invalid time");
  return *t;
}

Result<std::uint64_t> to_scalar(const Value& v) {
  if (const std::uint64_t* u = v.as_unsigned()) return *u;
  const std::string* s = v.as_string();
  if (!s) return fail("json: expected an unsigned integer or a decimal string");
  if (s->empty() || s->size() > 20) return fail("json: invalid decimal string");
  std::uint64_t value = 0;
  for (char c : *s) {
    if (c < '0' || c > '9') return fail("json: invalid decimal string");
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
      return fail("json: decimal string out of range");
    }
    value = value * 10 + digit;
  }
  return value;
}

// --- records and unions ---

Record::Record(const Value& value, std::span<const std::string_view> keys, Mode mode, bool tagged)
    : keys_(keys), slots_(keys.size(), nullptr) {
  const Object* members = value.as_object();
  if (!members) {
    error_ = Error("json: expected an object");
    return;
  }
  for (const Member& m : *members) {
    if (tagged && m.key == kKind) continue;
    const auto it = std::find(keys_.begin(), keys_.end(), m.key);
    if (it == keys_.end()) {
      if (mode == Mode::kStrict) {
        fail_with("json: unknown field", m.key);
        return;
      }
      continue;
    }
    const auto index = static_cast<std::size_t>(it - keys_.begin());
    if (slots_[index]) {
      fail_with("json: duplicate field", m.key);
      return;
    }
    slots_[index] = &m.value;
  }
}

const Value* Record::member(std::string_view key) const {
  if (!error_.empty()) return nullptr;
  const auto it = std::find(keys_.begin(), keys_.end(), key);
  if (it == keys_.end()) return nullptr;
  return slots_[static_cast<std::size_t>(it - keys_.begin())];
}

Status Record::status() const {
  if (!error_.empty()) return fail(error_);
  return {};
}

Record& Record::fail_with(std::string message, std::string_view key) {
  return fail_with(Error(std::move(message)), key);
}

Record& Record::fail_with(Error error, std::string_view key) {
  if (error_.empty()) error_ = std::move(error).context("json: field \"" + std::string(key) + "\"");
  return *this;
}

Result<std::size_t> read_name(const Value& value, std::span<const std::string_view> names) {
  const std::string* text = value.as_string();
  if (!text) return fail("json: expected a name string");
  const auto it = std::find(names.begin(), names.end(), *text);
  if (it == names.end()) return fail("json: unknown name");
  return static_cast<std::size_t>(it - names.begin());
}

Result<std::size_t> read_tag(const Value& value, std::span<const std::string_view> names) {
  const Object* members = value.as_object();
  if (!members) return fail("json: expected a tagged object");
  const Value* tag = nullptr;
  for (const Member& m : *members) {
    if (m.key != kKind) continue;
    if (tag) return fail("json: duplicate kind");
    tag = &m.value;
  }
  if (!tag) return fail("json: missing kind");
  auto index = read_name(*tag, names);
  if (!index) return fail(std::move(index.error()).context("json: kind"));
  return *index;
}

}  // namespace vor::json
