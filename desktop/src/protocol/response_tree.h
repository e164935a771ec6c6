// Builds the value trees of the response and its sub-documents: members in
// declaration order, an absent optional field as null. The response encoder
// writes such a tree as it is and the value form sorts it by key, so both
// carry the same members and values by construction.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/json.h"
#include "common/time.h"

namespace vor::desktop {

class TreeBuilder {
 public:
  TreeBuilder& add(std::string_view key, json::Value value) {
    members_.push_back({std::string(key), std::move(value)});
    return *this;
  }
  TreeBuilder& add(std::string_view key, const std::string& text) { return add(key, json::Value(text)); }
  TreeBuilder& add(std::string_view key, std::string_view text) { return add(key, json::Value(text)); }
  TreeBuilder& add(std::string_view key, Time time) { return add(key, json::Value(format_rfc3339(time))); }
  template <class T>
    requires std::integral<T>
  TreeBuilder& add(std::string_view key, T number) {
    return add(key, json::Value(number));
  }

  // Null when absent.
  template <class T>
  TreeBuilder& add_or_null(std::string_view key, const std::optional<T>& value) {
    if (!value) return add(key, json::Value());
    return add(key, *value);
  }
  // Null when absent, else the tree that `tree` makes of the value.
  template <class T, class F>
  TreeBuilder& add_or_null(std::string_view key, const std::optional<T>& value, F&& tree) {
    if (!value) return add(key, json::Value());
    return add(key, tree(*value));
  }
  // No member at all when absent.
  template <class T, class F>
  TreeBuilder& add_if(std::string_view key, const std::optional<T>& value, F&& tree) {
    if (value) add(key, tree(*value));
    return *this;
  }
  template <class T>
  TreeBuilder& add_if(std::string_view key, const std::optional<T>& value) {
    if (value) add(key, *value);
    return *this;
  }

  json::Value done() && { return json::Value(std::move(members_)); }
  json::Value done() & { return json::Value(std::move(members_)); }

 private:
  json::Object members_;
};

}  // namespace vor::desktop

namespace vor::desktop {

// The decoded record, or the field table's first failure under the record's name.
template <class T>
Result<T> finish_record(const json::Record& record, T value, std::string_view name) {
  auto done = record.finish(std::move(value));
  if (!done) return fail(std::move(done.error()).context(std::string(name)));
  return done;
}

}  // namespace vor::desktop
