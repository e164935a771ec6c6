// libFuzzer target over the state store's readers of stored records:
//
// - the receipt document: any input that decodes must re-encode to bytes
//   that decode to the same receipt and re-encode to the same bytes;
// - the image record, read as the `image` member of an otherwise fixed
//   receipt, under the same round trip;
// - the receipt file as `load_receipt` finds it, plain and inside a
//   protected envelope: when it loads, it is the decoded document with its
//   result redacted, and it loaded from the file of its own operation id;
// - a stored image against the record made from its own bytes: it passes
//   exactly when it is a PNG within the image limit.
// Built and run by scripts/fuzz-run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "common/crypto.h"
#include "standalone/state/image_store.h"
#include "standalone/state/receipt.h"
#include "state_fakes.h"

namespace {

namespace vd = vor::desktop;

[[noreturn]] void fault(const char* what) {
  std::fprintf(stderr, "receipt_fuzz: %s\n", what);
  std::abort();
}

std::optional<vd::Receipt> check_document(std::string_view text) {
  auto first = vd::decode_receipt(text);
  if (!first) return std::nullopt;
  std::string encoded;
  vd::encode_receipt(encoded, *first);
  const auto second = vd::decode_receipt(encoded);
  if (!second) fault("the encoding of a decoded receipt does not decode");
  if (!(*second == *first)) fault("decode(encode(receipt)) differs from the receipt");
  std::string again;
  vd::encode_receipt(again, *second);
  if (again != encoded) fault("re-encoding is not byte-stable");
  return std::move(*first);
}

void check_image_record(std::string_view value) {
  const std::string text =
      R"({"operationId":"op-1","requestHash":"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",)"
      R"("sessionId":1,"mutating":false,"phase":"finished","createdAt":"2027-01-15T08:00:00Z","finishedAt":null,)"
      R"("pid":7,"pidCreated":1,"result":null,"image":)" +
      std::string(value) + R"(,"reconciledBy":null})";
  (void)check_document(text);
}

// One fake state root for every input; each input replaces the receipt file.
struct Store {
  vd::testing::FakeFileSystem fs;
  vd::testing::FakeDataProtection dpapi;
  vd::testing::FakeClock clock;
  vd::testing::FakeIdentity identity;
  vd::StateContext ctx{fs, dpapi, clock, [] { return vor::Result<std::string>(std::string(32, '0')); }};
  std::optional<vd::StateRoot> root;
  std::string path;

  Store() {
    fs.add_directory("C:\\s");
    auto made = vd::ensure_state_directory(fs, identity, "C:\\s");
    if (!made) fault("the fake state root cannot be made");
    root.emplace(std::move(*made));
    path = vd::state_file_path(*root, "op-1", "json").value();
  }
};

// `decoded`: the plaintext decoded as a receipt document, when it does.
void check_file(Store& store, const vor::Bytes& file, const std::optional<vd::Receipt>& decoded) {
  store.fs.add_file(store.path, file);
  const auto loaded = vd::load_receipt(store.ctx, *store.root, store.path);
  if (!loaded) return;
  if (!decoded) fault("a receipt loaded from bytes that do not decode");
  if (decoded->operation_id != "op-1") fault("a receipt loaded from another operation's file");
  vd::Receipt want = *decoded;
  if (want.result) want.result = vd::redact_response_for_receipt(*want.result);
  if (!(*loaded == want)) fault("the loaded receipt differs from the decoded one");
}

void check_receipt_files(std::string_view bytes, const std::optional<vd::Receipt>& decoded) {
  static Store store;
  const vor::Bytes plain(bytes.begin(), bytes.end());
  // A file that starts with the protected header is opened as an envelope
  // and is checked below as one.
  if (!vd::has_protected_header(plain)) check_file(store, plain, decoded);
  if (bytes.size() > vd::kReceiptPlaintextLimit) return;
  auto envelope = vd::protect_data(store.dpapi, store.path, plain, plain.size());
  if (!envelope) fault("a receipt within the limit cannot be protected");
  check_file(store, *envelope, decoded);
}

void check_stored_image(std::string_view bytes) {
  const std::span<const std::uint8_t> png(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  const auto digest = vor::sha256(png);
  if (!digest) fault("no digest");
  const vd::Image record{"x.image", png.size(), vor::to_hex(*digest), vor::Time{}};
  const bool want = png.size() > 7 && png.size() <= vd::kImagePlaintextLimit && vd::has_png_signature(png);
  if (static_cast<bool>(vd::validate_stored_image(png, record)) != want) fault("stored image judged wrongly");
  if (want) {
    vd::Image shorter = record;
    shorter.bytes = png.size() - 1;
    if (vd::validate_stored_image(png, shorter)) fault("a stored image passed with the wrong length");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto decoded = check_document(bytes);
  check_image_record(bytes);
  check_receipt_files(bytes, decoded);
  check_stored_image(bytes);
  return 0;
}
