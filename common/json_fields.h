// Field tables of JSON records: each record names its fields once, and that
// one table drives its decoder, its declared-order writer and its value-tree
// builder. The desktop's wire records and the recovery program's journal are
// built on it.
//
// A table is a generic function over a visitor `f` and the record (const when
// writing, mutable when decoding), listing the fields in declaration order:
//
//   constexpr auto kItem = fields::record<Item>([](auto& f, auto& item) {
//     f.required("count", item.count);
//     f.nullable("title", item.title);          // null when empty
//     f.omittable("rect", item.rect, kRect);    // left out when empty
//   });
//   kItem.from(value);  kItem.write(out, item);  kItem.tree(item);
//
// Each field has a codec: `from` (value to field), `write` (appends JSON) and
// `tree` (field to value). Scalars use `Plain`; nested records, enumerations
// written as names, arrays and tagged unions have their own. On decoding,
// absent and null are both an empty optional; the record's key set is the
// table's keys, matched strictly or leniently.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "common/error.h"
#include "common/json.h"
#include "common/time.h"

namespace vor::fields {

// The codec of a scalar field: bool, an integer, text or a time.
template <class T>
struct Plain {
  static Result<T> from(const json::Value& v) { return json::to<T>(v); }
  static json::Value tree(const T& x) {
    if constexpr (std::is_same_v<T, Time>) {
      return json::Value(format_rfc3339(x));
    } else {
      return json::Value(x);
    }
  }
  static void write(std::string& out, const T& x) {
    if constexpr (std::is_same_v<T, bool>) {
      json::write_bool(out, x);
    } else if constexpr (std::is_same_v<T, std::string>) {
      json::write_string(out, x);
    } else if constexpr (std::is_same_v<T, Time>) {
      json::write_time(out, x);
    } else if constexpr (std::is_signed_v<T>) {
      json::write_int(out, x);
    } else {
      json::write_uint(out, x);
    }
  }
};

// A 64-bit scalar written as a number, read as a number or a digit string.
struct Scalar {
  static Result<std::uint64_t> from(const json::Value& v) { return json::to_scalar(v); }
  static json::Value tree(std::uint64_t x) { return json::Value(x); }
  static void write(std::string& out, std::uint64_t x) { json::write_uint(out, x); }
};

// Any value, kept as a tree and written with object keys in ascending order.
struct SortedValue {
  static Result<json::Value> from(const json::Value& v) { return v; }
  static json::Value tree(const json::Value& x) { return x; }
  static void write(std::string& out, const json::Value& x) { json::write_sorted(out, x); }
};

// An enumeration written as one of `names`, by its numeric value.
template <class E>
struct Names {
  std::span<const std::string_view> names;

  Result<E> from(const json::Value& v) const {
    VOR_ASSIGN_OR_RETURN(const std::size_t index, json::read_name(v, names));
    return static_cast<E>(index);
  }
  std::string_view name(E e) const { return names[static_cast<std::size_t>(e)]; }
  json::Value tree(E e) const { return json::Value(name(e)); }
  void write(std::string& out, E e) const { json::write_string(out, name(e)); }
};

// An optional value written as null when empty; null reads as empty (for the
// elements of an array, where a field's own nullable form does not reach).
template <class C>
struct NullOr {
  C inner;

  template <class T>
  void write(std::string& out, const std::optional<T>& value) const {
    if (value) {
      inner.write(out, *value);
    } else {
      json::write_null(out);
    }
  }
  template <class T>
  json::Value tree(const std::optional<T>& value) const {
    return value ? inner.tree(*value) : json::Value();
  }
  auto from(const json::Value& v) const -> Result<std::optional<typename decltype(inner.from(v))::value_type>> {
    using T = typename decltype(inner.from(v))::value_type;
    if (v.is_null()) return std::optional<T>();
    VOR_ASSIGN_OR_RETURN(T value, inner.from(v));
    return std::optional<T>(std::move(value));
  }
};

// An array whose elements each use `element`.
template <class C>
struct ArrayOf {
  C element;

  auto from(const json::Value& v) const {
    return json::to_array(v, [this](const json::Value& item) { return element.from(item); });
  }
  template <class T>
  json::Value tree(const std::vector<T>& items) const {
    json::Array out;
    out.reserve(items.size());
    for (const T& item : items) out.push_back(element.tree(item));
    return json::Value(std::move(out));
  }
  template <class T>
  void write(std::string& out, const std::vector<T>& items) const {
    out += '[';
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i != 0) out += ',';
      element.write(out, items[i]);
    }
    out += ']';
  }
};

// A record of another file, through its public functions.
template <class T>
struct Via {
  Result<T> (*from_value)(const json::Value&);
  json::Value (*to_value)(const T&);
  void (*encode)(std::string&, const T&);

  Result<T> from(const json::Value& v) const { return from_value(v); }
  json::Value tree(const T& x) const { return to_value(x); }
  void write(std::string& out, const T& x) const { encode(out, x); }
};

// --- the visitors that walk a table ---

// The declared keys of a table, and whether the record ignores every member
// (a unit variant of a tagged union whose other members are not checked).
struct KeyList {
  std::vector<std::string_view> keys;
  bool ignores_members = false;

  template <class T, class C = Plain<T>>
  void required(std::string_view key, const T&, const C& = {}) {
    keys.push_back(key);
  }
  template <class T, class C = Plain<T>>
  void nullable(std::string_view key, const std::optional<T>&, const C& = {}) {
    keys.push_back(key);
  }
  template <class T, class C = Plain<T>>
  void omittable(std::string_view key, const std::optional<T>&, const C& = {}) {
    keys.push_back(key);
  }
  void ignore_members() { ignores_members = true; }
};

// Fills the fields from a matched record object.
struct Reader {
  json::Record& record;

  template <class T, class C = Plain<T>>
  void required(std::string_view key, T& out, const C& codec = {}) {
    record.required(key, out, [&codec](const json::Value& v) { return codec.from(v); });
  }
  template <class T, class C = Plain<T>>
  void nullable(std::string_view key, std::optional<T>& out, const C& codec = {}) {
    record.optional(key, out, [&codec](const json::Value& v) { return codec.from(v); });
  }
  template <class T, class C = Plain<T>>
  void omittable(std::string_view key, std::optional<T>& out, const C& codec = {}) {
    nullable(key, out, codec);
  }
  void ignore_members() {}
};

// Appends `"key":value` members in table order.
struct Writer {
  json::ObjectWriter& object;

  template <class T, class C = Plain<T>>
  void required(std::string_view key, const T& value, const C& codec = {}) {
    codec.write(object.key(key), value);
  }
  template <class T, class C = Plain<T>>
  void nullable(std::string_view key, const std::optional<T>& value, const C& codec = {}) {
    if (value) {
      codec.write(object.key(key), *value);
    } else {
      json::write_null(object.key(key));
    }
  }
  template <class T, class C = Plain<T>>
  void omittable(std::string_view key, const std::optional<T>& value, const C& codec = {}) {
    if (value) codec.write(object.key(key), *value);
  }
  void ignore_members() {}
};

// Builds the members of a value tree in table order.
struct TreeMaker {
  json::Object members;

  template <class T, class C = Plain<T>>
  void required(std::string_view key, const T& value, const C& codec = {}) {
    members.push_back({std::string(key), codec.tree(value)});
  }
  template <class T, class C = Plain<T>>
  void nullable(std::string_view key, const std::optional<T>& value, const C& codec = {}) {
    members.push_back({std::string(key), value ? codec.tree(*value) : json::Value()});
  }
  template <class T, class C = Plain<T>>
  void omittable(std::string_view key, const std::optional<T>& value, const C& codec = {}) {
    if (value) members.push_back({std::string(key), codec.tree(*value)});
  }
  void ignore_members() {}
};

// The keys of table `F` for record `T`, collected once.
template <class T, class F>
const KeyList& keys_of() {
  static const KeyList list = [] {
    KeyList k;
    const T probe{};
    F{}(k, probe);
    return k;
  }();
  return list;
}

// `error` under `name`, or as it is when the record has no name.
inline Error named(Error error, std::string_view name) {
  if (name.empty()) return error;
  return std::move(error).context(std::string(name));
}

// Decodes the members of `v` into a `T` with table `F` (`tagged`: the "kind"
// member belongs to a union and is not a field).
template <class T, class F>
Result<T> decode_with(const json::Value& v, json::Mode mode, bool tagged, std::string_view name) {
  T out{};
  json::Record record(v, keys_of<T, F>().keys, mode, tagged);
  Reader reader{record};
  F{}(reader, out);
  auto done = record.finish(std::move(out));
  if (!done) return fail(named(std::move(done.error()), name));
  return done;
}

// The codec of a record type `T` with the field table `F`.
template <class T, class F>
struct RecordCodec {
  json::Mode mode = json::Mode::kStrict;
  std::string_view name;  // the context of a decoding failure; none when empty

  Result<T> from(const json::Value& v) const { return decode_with<T, F>(v, mode, false, name); }
  json::Value tree(const T& x) const {
    TreeMaker maker;
    F{}(maker, x);
    return json::Value(std::move(maker.members));
  }
  void write(std::string& out, const T& x) const {
    json::ObjectWriter object(out);
    Writer writer{object};
    F{}(writer, x);
    object.close();
  }
};

template <class T, class F>
constexpr RecordCodec<T, F> record(F, json::Mode mode = json::Mode::kStrict, std::string_view name = {}) {
  return RecordCodec<T, F>{mode, name};
}

// The codec of a tagged union `V`: a "kind" member naming the alternative
// (`names`, by variant index) and the alternative's fields from the table
// `F`, which lists the fields of every alternative. An alternative whose
// table calls `ignore_members` decodes from its kind alone; any other refuses
// members it does not declare.
template <class V, class F>
struct TaggedCodec {
  std::span<const std::string_view> names;
  std::string_view name;  // the context of a decoding failure; none when empty

  Result<V> from(const json::Value& v) const {
    auto tag = json::read_tag(v, names);
    if (!tag) return fail(named(std::move(tag.error()), name));
    return alternative(v, *tag, std::make_index_sequence<std::variant_size_v<V>>{});
  }
  void write(std::string& out, const V& value) const {
    json::ObjectWriter object(out);
    json::write_string(object.key("kind"), names[value.index()]);
    Writer writer{object};
    std::visit([&writer](const auto& a) { F{}(writer, a); }, value);
    object.close();
  }

 private:
  template <std::size_t... I>
  Result<V> alternative(const json::Value& v, std::size_t index, std::index_sequence<I...>) const {
    Result<V> out = fail("json: unknown kind");
    ((index == I ? (out = one<std::variant_alternative_t<I, V>>(v), true) : false) || ...);
    return out;
  }
  template <class A>
  Result<V> one(const json::Value& v) const {
    if (keys_of<A, F>().ignores_members) return V(A{});
    VOR_ASSIGN_OR_RETURN(A a, (decode_with<A, F>(v, json::Mode::kStrict, true, name)));
    return V(std::move(a));
  }
};

template <class V, class F>
constexpr TaggedCodec<V, F> tagged(std::span<const std::string_view> names, F, std::string_view name = {}) {
  return TaggedCodec<V, F>{names, name};
}

// The alternative type a table is called with, for `if constexpr` per alternative.
template <class A>
using Alternative = std::remove_cvref_t<A>;

}  // namespace vor::fields
