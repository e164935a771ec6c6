// libFuzzer target over the transaction journal readers: the file frame
// (magic, mode, blob) and the JSON `Journal` with its service snapshots. A
// frame that parses must be rebuilt from its blob byte for byte; a journal
// that decodes must re-encode to bytes that decode to the same journal and
// re-encode to the same bytes, and validation must hold on it whatever it
// says. Built and run by scripts/fuzz-run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "installer/journal.h"

namespace {

namespace vs = vor::setup;

[[noreturn]] void fault(const char* what) {
  std::fprintf(stderr, "journal_fuzz: %s\n", what);
  std::abort();
}

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

void check_frame(std::span<const std::uint8_t> file) {
  const auto blob = vs::parse_journal_frame(file);
  if (!blob) return;
  if (file.size() < 10 || blob->size() != file.size() - 9) fault("the blob is not the rest of the file");
  const vor::Bytes rebuilt = vs::build_journal_frame(*blob);
  if (rebuilt.size() != file.size() || !std::equal(rebuilt.begin(), rebuilt.end(), file.begin())) {
    fault("the frame built from the blob differs from the file");
  }
}

void check_journal(std::span<const std::uint8_t> json) {
  const auto first = vs::decode_journal(json);
  if (!first) return;
  const std::string encoded = vs::encode_journal(*first);
  const auto second = vs::decode_journal(bytes_of(encoded));
  if (!second) fault("the encoding of a decoded journal does not decode");
  if (!(*second == *first)) fault("decode(encode(journal)) differs from the journal");
  if (vs::encode_journal(*second) != encoded) fault("re-encoding is not byte-stable");
  const bool valid = static_cast<bool>(vs::validate_journal(*first));
  if (static_cast<bool>(vs::validate_journal(*second)) != valid) fault("validation differs after a round trip");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  check_frame(bytes);
  check_journal(bytes);
  return 0;
}
