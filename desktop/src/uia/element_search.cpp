#include "uia/element_search.h"

#include <deque>
#include <utility>
#include <variant>

#include "common/text.h"
#include "native/desktop_text.h"
#include "native/observation.h"

namespace vor::desktop::uia {

Status guard_target(const UiaTarget& target, bool input_checks) {
  auto fresh = check_observation(target.ports, target.window, target.session_id, input_checks);
  if (!fresh) return fail(std::move(fresh.error()));
  return {};
}

Result<std::string> read_uia_text(const Com<std::u16string>& read, ComSys& com) {
  if (!read) return fail(provider_failure(com, read.error()));
  // The limit applies to the text as the provider gave it, before cleaning.
  if (read->size() > kUiaTextMaxUnits) return fail(std::string(kUiaMetadataTooLarge));
  return clean_desktop_text(*read, kUiaTextMaxUnits);
}

Result<ElementRecord> read_element_record(const UiaTarget& target, std::shared_ptr<AutomationElement> element,
                                          PropertySource source) {
  ComSys& com = target.session.com();
  AutomationElement& e = *element;
  const Window& window = target.window;

  auto process_id = read_property(e.process_id(source), com);
  if (!process_id) return fail(std::move(process_id.error()));
  if (static_cast<std::uint32_t>(*process_id) != window.process_id) return fail(std::string(kUiaScopeMismatch));

  ElementRecord record;
  auto rect = read_property(e.bounding_rectangle(source), com);
  if (!rect) return fail(std::move(rect.error()));
  auto password = read_property(e.is_password(source), com);
  if (!password) return fail(std::move(password.error()));
  auto native = read_property(e.native_window_handle(source), com);
  if (!native) return fail(std::move(native.error()));
  if (*native != 0 && *native != window.handle && !target.controls.is_child(window.handle, *native)) {
    return fail(std::string(kUiaScopeMismatch));
  }

  auto automation_id = read_uia_text(e.automation_id(source), com);
  if (!automation_id) return fail(std::move(automation_id.error()));
  record.element.automation_id = std::move(*automation_id);
  // A password element's name is never read.
  if (!*password) {
    auto name = read_uia_text(e.name(source), com);
    if (!name) return fail(std::move(name.error()));
    record.element.name = std::move(*name);
  }
  auto class_name = read_uia_text(e.class_name(source), com);
  if (!class_name) return fail(std::move(class_name.error()));
  record.element.class_name = std::move(*class_name);

  auto control_type = read_property(e.control_type(source), com);
  if (!control_type) return fail(std::move(control_type.error()));
  auto enabled = read_property(e.is_enabled(source), com);
  if (!enabled) return fail(std::move(enabled.error()));
  auto offscreen = read_property(e.is_offscreen(source), com);
  if (!offscreen) return fail(std::move(offscreen.error()));

  record.element.control_type = *control_type;
  record.element.rect = *rect;
  record.element.enabled = *enabled && (*native == 0 || target.controls.is_enabled(*native));
  record.element.offscreen = *offscreen || !target.controls.is_visible(window.handle) ||
                             (*native != 0 && !target.controls.is_visible(*native));
  record.element.password = *password;
  record.source = std::move(element);
  return record;
}

bool element_matches(const Element& element, const ElementSelector& selector) {
  if (selector.automation_id && *selector.automation_id != element.automation_id) return false;
  if (selector.name && *selector.name != element.name) return false;
  if (selector.class_name && *selector.class_name != element.class_name) return false;
  if (selector.control_type && *selector.control_type != element.control_type) return false;
  return true;
}

Result<std::vector<ElementRecord>> search_elements(const UiaTarget& target, const ElementSelector& selector,
                                                   const OperationDeadline& deadline) {
  if (auto s = guard_target(target, false); !s) return fail(std::move(s.error()));
  ComSys& com = target.session.com();
  Automation& automation = target.session.automation();
  CacheRequest& cache = target.session.cache();

  auto root = automation.element_from_handle_build_cache(target.window.handle, cache);
  if (!root) return fail(provider_failure(com, root.error()));
  if (!*root) return fail(std::string(kUiaProviderUnavailable));
  auto walker = automation.control_view_walker();
  if (!walker) return fail(provider_failure(com, walker.error()));
  if (!*walker) return fail(std::string(kUiaProviderUnavailable));

  struct Queued {
    std::shared_ptr<AutomationElement> element;
    std::size_t depth;
  };
  std::deque<Queued> queue;
  queue.push_back({std::shared_ptr<AutomationElement>(std::move(*root)), 0});
  std::size_t visited = 0;
  std::vector<ElementRecord> matches;

  while (!queue.empty()) {
    Queued current = std::move(queue.front());
    queue.pop_front();
    if (deadline.expired()) return fail(std::string(kUiaQueryTimeout));
    if (visited >= kMaxVisitedElements) return fail(std::string(kUiaSearchLimit));
    ++visited;

    // Another process's element is skipped with everything below it.
    auto process_id = read_property(current.element->process_id(PropertySource::kCached), com);
    if (!process_id) return fail(std::move(process_id.error()));
    if (static_cast<std::uint32_t>(*process_id) != target.window.process_id) continue;

    auto record = read_element_record(target, current.element, PropertySource::kCached);
    if (!record) return fail(std::move(record.error()));
    if (element_matches(record->element, selector)) {
      if (matches.size() >= kMaxElementMatches) return fail(std::string(kUiaSearchLimit));
      matches.push_back(std::move(*record));
    }

    auto child = (*walker)->first_child(*current.element, cache);
    while (true) {
      if (!child) return fail(provider_failure(com, child.error()));
      if (!*child) break;
      if (current.depth >= kMaxElementDepth) return fail(std::string(kUiaSearchLimit));
      if (deadline.expired()) return fail(std::string(kUiaQueryTimeout));
      if (visited + queue.size() + 1 >= kMaxVisitedElements) return fail(std::string(kUiaSearchLimit));
      std::shared_ptr<AutomationElement> element(std::move(*child));
      queue.push_back({element, current.depth + 1});
      child = (*walker)->next_sibling(*element, cache);
    }
  }

  if (auto s = guard_target(target, false); !s) return fail(std::move(s.error()));
  return matches;
}

Result<std::optional<ElementRecord>> find_single_element(std::vector<ElementRecord> records) {
  if (records.size() > 1) return fail(std::string(kElementAmbiguous));
  if (records.empty()) return std::optional<ElementRecord>();
  return std::optional<ElementRecord>(std::move(records.front()));
}

namespace {

Result<bool> value_equals(const UiaTarget& target, AutomationElement& element, const std::string& text) {
  ComSys& com = target.session.com();
  auto password = read_property(element.is_password(PropertySource::kCurrent), com);
  if (!password) return fail(std::move(password.error()));
  if (*password) return fail(std::string(kPasswordElementDenied));
  auto pattern = element.value_pattern();
  if (!pattern) return fail(provider_failure(com, pattern.error()));
  if (!*pattern) return fail(std::string(kUiaPatternUnsupported));
  auto value = read_property((*pattern)->current_value(), com);
  if (!value) return fail(std::move(value.error()));
  const auto expected = utf8_to_utf16(text);
  return expected && *expected == *value;
}

}  // namespace

Result<bool> read_element_predicate(const UiaTarget& target, const Check& check, const OperationDeadline& deadline) {
  auto found = search_elements(target, check.selector, deadline);
  if (!found) return fail(std::move(found.error()));
  auto single = find_single_element(std::move(*found));
  if (!single) return fail(std::move(single.error()));
  if (!*single) return std::holds_alternative<Absent>(check.condition);
  const ElementRecord& record = **single;
  if (record.element.password) return fail(std::string(kPasswordElementDenied));
  if (std::holds_alternative<Ready>(check.condition)) return record.element.enabled && !record.element.offscreen;
  if (std::holds_alternative<Absent>(check.condition)) return false;
  if (const auto* name = std::get_if<NameEquals>(&check.condition)) return record.element.name == name->text;
  return value_equals(target, *record.source, std::get<ValueEquals>(check.condition).text);
}

}  // namespace vor::desktop::uia
