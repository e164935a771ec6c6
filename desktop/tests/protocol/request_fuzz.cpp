// libFuzzer target over the request reader: any input that decodes must
// re-encode to bytes that decode to the same request and re-encode to the
// same bytes, and the value-tree entry must agree with the byte entry. Every
// input that the JSON reader takes must also survive write and read back.
// Built and run by scripts/fuzz-run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/json.h"
#include "protocol/request.h"

namespace {

[[noreturn]] void fault(const char* what) {
  std::fprintf(stderr, "request_fuzz: %s\n", what);
  std::abort();
}

void check_tree(std::string_view bytes) {
  const auto tree = vor::json::parse(bytes);
  if (!tree) return;
  const std::string compact = vor::json::to_string(*tree);
  const auto again = vor::json::parse(compact);
  if (!again) fault("compact writing of a read value does not read back");
  if (!(*again == *tree)) fault("compact writing changed the value");
  if (vor::json::to_string(*again) != compact) fault("compact writing is not stable");
  const std::string sorted = vor::json::to_sorted_string(*tree);
  const auto sorted_tree = vor::json::parse(sorted);
  if (!sorted_tree) fault("sorted writing does not read back");
  if (vor::json::to_sorted_string(*sorted_tree) != sorted) fault("sorted writing is not stable");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_tree(bytes);

  const auto first = vor::desktop::decode_request(bytes);
  const auto tree = vor::json::parse(bytes);
  if (tree) {
    const auto from_tree = vor::desktop::request_from_value(*tree);
    if (from_tree.has_value() != first.has_value()) fault("tree and byte entries disagree");
    if (from_tree && !(*from_tree == *first)) fault("tree and byte entries decode differently");
  } else if (first) {
    fault("a request decoded from bytes the reader refuses");
  }
  if (!first) return 0;

  const std::string encoded = vor::desktop::encode_request(*first);
  const auto second = vor::desktop::decode_request(encoded);
  if (!second) fault("the encoding of a decoded request does not decode");
  if (!(*second == *first)) fault("decode(encode(request)) differs from the request");
  if (vor::desktop::encode_request(*second) != encoded) fault("re-encoding is not byte-stable");
  return 0;
}
