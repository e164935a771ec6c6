// Element search under a target window: element records, the bounded
// breadth-first walk of the control view, and the predicate of a `Check`.
//
// Every search re-checks the target window before and after the walk, reads
// each element from the session's cache request, skips the subtrees of other
// processes, and stops at 256 visited elements, 32 matches, depth 64 or the
// operation's deadline. The element loops (element_operations.h) call these;
// `UiaTarget` carries what they share.
//
//   UiaTarget target{ports, controls, session, window, session_id, dispatched};
//   auto matches = search_elements(target, selector, deadline);
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "native/deadline.h"
#include "native/ports.h"
#include "protocol/observation.h"
#include "protocol/request.h"
#include "uia/automation_port.h"
#include "uia/session.h"

namespace vor::desktop::uia {

inline constexpr std::string_view kUiaQueryTimeout = "DESKTOP_UIA_QUERY_TIMEOUT";
inline constexpr std::string_view kUiaSearchLimit = "DESKTOP_UIA_SEARCH_LIMIT";
inline constexpr std::string_view kUiaScopeMismatch = "DESKTOP_UIA_SCOPE_MISMATCH";
inline constexpr std::string_view kUiaMetadataTooLarge = "DESKTOP_UIA_METADATA_TOO_LARGE";
inline constexpr std::string_view kUiaPatternUnsupported = "DESKTOP_UIA_PATTERN_UNSUPPORTED";
inline constexpr std::string_view kElementAmbiguous = "DESKTOP_ELEMENT_AMBIGUOUS";
inline constexpr std::string_view kPasswordElementDenied = "DESKTOP_PASSWORD_ELEMENT_DENIED";

// Limits of one search.
inline constexpr std::size_t kMaxVisitedElements = 256;
inline constexpr std::size_t kMaxElementMatches = 32;
inline constexpr std::size_t kMaxElementDepth = 64;
// An automation text longer than this many UTF-16 units fails the read.
inline constexpr std::size_t kUiaTextMaxUnits = 256;

// What one element operation works on: the ports, the open session, the
// request's observed window and Windows session, and the executor's
// `dispatched` flag.
struct UiaTarget {
  const DesktopPorts& ports;
  ControlSys& controls;
  UiaSession& session;
  const Window& window;
  std::uint32_t session_id;
  bool& dispatched;
};

// An `Element` with the automation element it was read from.
struct ElementRecord {
  Element element;
  std::shared_ptr<AutomationElement> source;
};

// `check_observation` of the target with the fresh window dropped.
Status guard_target(const UiaTarget& target, bool input_checks);

// A text property: more than 256 units is "DESKTOP_UIA_METADATA_TOO_LARGE";
// control characters are dropped.
Result<std::string> read_uia_text(const Com<std::u16string>& read, ComSys& com);

// The element's record, from its cached or current properties; it must
// belong to the window's process and, when it has a native window, to the
// window itself or one of its children.
Result<ElementRecord> read_element_record(const UiaTarget& target, std::shared_ptr<AutomationElement> element,
                                          PropertySource source);

// Every present selector member equal: texts byte for byte, the control type
// numerically.
bool element_matches(const Element& element, const ElementSelector& selector);

// The matching elements under the window, in visiting order.
Result<std::vector<ElementRecord>> search_elements(const UiaTarget& target, const ElementSelector& selector,
                                                   const OperationDeadline& deadline);

// None, the one record, or "DESKTOP_ELEMENT_AMBIGUOUS".
Result<std::optional<ElementRecord>> find_single_element(std::vector<ElementRecord> records);

// Whether the check's element meets its condition now.
Result<bool> read_element_predicate(const UiaTarget& target, const Check& check, const OperationDeadline& deadline);

}  // namespace vor::desktop::uia
