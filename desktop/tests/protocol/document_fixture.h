// Small helpers for document tests: a canonical observed window, and edits of
// a parsed document (set, remove or add a member) written back as bytes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/json.h"

namespace vor::desktop::testing {

// A window exactly as the encoder writes it: handles as numbers, time in UTC,
// U+001B escaped, "é" as its UTF-8 bytes.
inline constexpr std::string_view kWindowJson =
    R"({"minimized":false,"handle":132456,"processId":4242,"processCreated":133000000000000000,)"
    R"("rect":{"left":-8,"top":0,"right":1280,"bottom":1024},"title":"Editor \u001b é",)"
    R"("observedAt":"2026-03-04T05:06:07.250Z","lastInputTick":4294967295,"foreground":true})";
inline json::Value parsed(std::string_view bytes) { return *json::parse(bytes); }

// The object member at a path of keys (nullptr when any step is missing).
inline json::Value* at_path(json::Value& doc, std::initializer_list<std::string_view> path) {
  json::Value* v = &doc;
  for (std::string_view key : path) {
    json::Object* members = v->as_object();
    if (!members) return nullptr;
    json::Value* next = nullptr;
    for (json::Member& m : *members) {
      if (m.key == key) {
        next = &m.value;
        break;
      }
    }
    if (!next) return nullptr;
    v = next;
  }
  return v;
}

// `doc` with the member `key` of the object at `path` replaced (added at the
// end when missing).
inline std::string with_member(std::string_view doc, std::initializer_list<std::string_view> path,
                               std::string_view key, std::string_view value_json) {
  json::Value tree = parsed(doc);
  json::Object* members = at_path(tree, path)->as_object();
  bool replaced = false;
  for (json::Member& m : *members) {
    if (m.key == key) {
      m.value = parsed(value_json);
      replaced = true;
    }
  }
  if (!replaced) members->push_back({std::string(key), parsed(value_json)});
  return json::to_string(tree);
}

// `doc` with every member `key` of the object at `path` removed.
inline std::string without_member(std::string_view doc, std::initializer_list<std::string_view> path,
                                  std::string_view key) {
  json::Value tree = parsed(doc);
  json::Object* members = at_path(tree, path)->as_object();
  std::erase_if(*members, [&](const json::Member& m) { return m.key == key; });
  return json::to_string(tree);
}

// `doc` with a member appended to the object at `path`, even when the key exists.
inline std::string with_appended(std::string_view doc, std::initializer_list<std::string_view> path,
                                 std::string_view key, std::string_view value_json) {
  json::Value tree = parsed(doc);
  at_path(tree, path)->as_object()->push_back({std::string(key), parsed(value_json)});
  return json::to_string(tree);
}

// The keys of the object at `path`, in order.
inline std::vector<std::string> keys_at(std::string_view doc, std::initializer_list<std::string_view> path) {
  json::Value tree = parsed(doc);
  std::vector<std::string> keys;
  for (const json::Member& m : *at_path(tree, path)->as_object()) keys.push_back(m.key);
  return keys;
}

}  // namespace vor::desktop::testing
