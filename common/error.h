// Error values shared by both programs.
//
// A failure is a chain of links, outermost first. Each link is a context
// message; a link may also be an operating-system error carrying its raw
// Win32 number, and may carry one typed diagnostic (any copyable value) that
// callers look up by type. Functions return `Result<T>`; nothing throws across
// a module boundary.
//
// A failure with a code is built one way: `coded` (the code, optionally over a
// detail message), `coded_over` (the code over a cause) and `coded_os` (the
// code over an OS error number). Failures travel outward through
// `VOR_RETURN_IF_ERROR` and `VOR_ASSIGN_OR_RETURN`.
//
//   Result<Bytes> read() {
//     if (!ok) return fail(coded_os(kFileUnavailable, GetLastError()));
//   }
//   VOR_ASSIGN_OR_RETURN(auto bytes, read());
//   VOR_RETURN_IF_ERROR(check(bytes));
//   auto r = read();
//   if (!r) return fail(std::move(r.error()).context("while reading the request"));
#pragma once

#include <any>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vor {

class Error {
 public:
  enum class Kind {
    kMessage,  // a context message (often a code, possibly "CODE: detail")
    kOs,       // an operating-system I/O error with a raw Win32 number
    kIo,       // an I/O error of another kind (no raw number)
  };

  struct Link {
    Kind kind = Kind::kMessage;
    std::string message;
    std::optional<std::uint32_t> os_error;
    std::any detail;  // optional typed diagnostic
  };

  Error() = default;
  explicit Error(std::string message) { links_.push_back({Kind::kMessage, std::move(message), {}, {}}); }

  // An operating-system error with its raw number, as the innermost link.
  static Error os(std::uint32_t win32_error, std::string message = {}) {
    Error e;
    if (message.empty()) message = "os error " + std::to_string(win32_error);
    e.links_.push_back({Kind::kOs, std::move(message), win32_error, {}});
    return e;
  }

  // An I/O failure that has no raw OS number (a short read, a closed pipe).
  static Error io(std::string message) {
    Error e;
    e.links_.push_back({Kind::kIo, std::move(message), {}, {}});
    return e;
  }

  // A message link carrying a typed diagnostic.
  template <class T>
  static Error with(std::string message, T detail) {
    Error e;
    e.links_.push_back({Kind::kMessage, std::move(message), {}, std::any(std::move(detail))});
    return e;
  }

  // Wraps this chain in an outer context message.
  Error&& context(std::string message) && {
    links_.insert(links_.begin(), Link{Kind::kMessage, std::move(message), {}, {}});
    return std::move(*this);
  }
  Error context(std::string message) const& {
    Error copy = *this;
    return std::move(copy).context(std::move(message));
  }

  // Wraps this chain in an outer link that carries a typed diagnostic.
  template <class T>
  Error&& context_with(std::string message, T detail) && {
    links_.insert(links_.begin(), Link{Kind::kMessage, std::move(message), {}, std::any(std::move(detail))});
    return std::move(*this);
  }

  const std::vector<Link>& links() const { return links_; }
  bool empty() const { return links_.empty(); }

  // The outermost message, or "" for an empty chain.
  const std::string& outermost() const {
    static const std::string kEmpty;
    return links_.empty() ? kEmpty : links_.front().message;
  }

  // The first typed diagnostic of type T, outermost first.
  template <class T>
  const T* find() const {
    for (const Link& link : links_) {
      if (const T* p = std::any_cast<T>(&link.detail)) return p;
    }
    return nullptr;
  }

  // The raw number of the first OS error link, outermost first.
  std::optional<std::uint32_t> os_error() const {
    for (const Link& link : links_) {
      if (link.kind == Kind::kOs && link.os_error) return link.os_error;
    }
    return std::nullopt;
  }

  // "outer: inner: ..." for logs and tests.
  std::string display_chain() const {
    std::string out;
    for (const Link& link : links_) {
      if (!out.empty()) out += ": ";
      out += link.message;
    }
    return out;
  }

 private:
  std::vector<Link> links_;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }
inline std::unexpected<Error> fail(std::string message) { return std::unexpected<Error>(Error(std::move(message))); }

// An error whose whole chain is `code`.
inline Error coded(std::string_view code) { return Error(std::string(code)); }

// `code` as the outermost message over the message `detail`; just `code` when
// `detail` is empty.
inline Error coded(std::string_view code, std::string detail) {
  if (detail.empty()) return coded(code);
  return Error(std::move(detail)).context(std::string(code));
}

// `cause` wrapped in `code`: the code first, the cause's links after it.
inline Error coded_over(std::string_view code, Error cause) { return std::move(cause).context(std::string(code)); }

// `code` over the OS error with the raw Win32 number `win32_error`.
inline Error coded_os(std::string_view code, std::uint32_t win32_error) {
  return coded_over(code, Error::os(win32_error));
}

}  // namespace vor

#define VOR_ERROR_CONCAT_INNER(a, b) a##b
#define VOR_ERROR_CONCAT(a, b) VOR_ERROR_CONCAT_INNER(a, b)

// Returns the failure of a `Status` or `Result` expression from the enclosing
// function (whose result type is any `Result<T>` or `Status`); evaluates the
// expression once.
#define VOR_RETURN_IF_ERROR(...)                                                             \
  do {                                                                                       \
    if (auto vor_status_ = (__VA_ARGS__); !vor_status_) return ::vor::fail(std::move(vor_status_).error()); \
  } while (false)

// Evaluates the `Result` expression once; on failure returns it from the
// enclosing function, else moves its value into `target`, which is either a
// declaration (`auto value`, `const Bytes data`) or an existing variable.
#define VOR_ASSIGN_OR_RETURN(target, ...) \
  VOR_ASSIGN_OR_RETURN_IMPL(VOR_ERROR_CONCAT(vor_result_, __COUNTER__), target, __VA_ARGS__)
#define VOR_ASSIGN_OR_RETURN_IMPL(result, target, ...)        \
  auto result = (__VA_ARGS__);                                \
  if (!result) return ::vor::fail(std::move(result).error()); \
  target = std::move(*result)
