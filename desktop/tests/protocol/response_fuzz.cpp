// libFuzzer target over the frame reader, the response decoder and the pipe
// message decoders.
//
// Frames: the input is a pipe stream (its first byte picks the maximum, 1 to
// 256, and its second how many bytes each read returns); frames are read
// until one fails, and each outcome must match the length bytes: a body of
// exactly N bytes for 1 <= N <= max, a size refusal after exactly the 4 length
// bytes, and "early eof" only when the stream really ends inside the frame.
// Documents: any input that decodes as a response or a message must
// re-encode to bytes that decode to the same document and re-encode to the
// same bytes; the response's value form must be its encoding, key-sorted.
// Built and run by scripts/fuzz-run with VOR_FUZZ_TARGET=response.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/json.h"
#include "frame_memory_stream.h"
#include "protocol/frame.h"
#include "protocol/messages.h"
#include "protocol/response.h"

namespace {

namespace vd = vor::desktop;

[[noreturn]] void fault(const char* what) {
  std::fprintf(stderr, "response_fuzz: %s\n", what);
  std::abort();
}

std::uint32_t le32_at(std::string_view s, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(s[at])) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 1])) << 8) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 2])) << 16) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 3])) << 24);
}

void check_frames(std::string_view bytes) {
  if (bytes.size() < 2) return;
  const std::uint32_t max = static_cast<unsigned char>(bytes[0]) + 1u;
  const std::size_t chunk = static_cast<unsigned char>(bytes[1]) % 16 + 1;
  const std::string_view stream_bytes = bytes.substr(2);
  // The streams only name its executor; one context serves every input.
  static asio::io_context io;
  vd::testing::MemoryStream stream(io, std::string(stream_bytes));
  stream.chunk = chunk;
  for (;;) {
    const std::size_t start = stream.consumed();
    const std::size_t left = stream_bytes.size() - start;
    auto body = vd::read_frame(stream, max);
    if (left < 4) {
      if (body || body.error().outermost() != "early eof") fault("a cut length did not end in early eof");
      return;
    }
    const std::uint32_t n = le32_at(stream_bytes, start);
    if (n == 0 || n > max) {
      if (body || body.error().outermost() != vd::kFrameSizeInvalid) fault("a bad length was not refused");
      if (stream.consumed() != start + 4) fault("a refused frame consumed more than its length");
      return;
    }
    if (left - 4 < n) {
      if (body || body.error().outermost() != "early eof") fault("a cut body did not end in early eof");
      return;
    }
    if (!body) fault("a whole frame was not read");
    if (*body != stream_bytes.substr(start + 4, n)) fault("the body differs from the stream");
    if (stream.consumed() != start + 4 + n) fault("a frame consumed the wrong number of bytes");

    // Writing the body back gives the same frame.
    vd::testing::MemoryStream out(io, "");
    if (!vd::write_frame(out, *body, max)) fault("a read body could not be written");
    if (out.written != stream_bytes.substr(start, 4 + n)) fault("the written frame differs");
  }
}

// Raw values (`Reply.result`, a fullscreen request) are written key-sorted,
// so the document is compared from its first re-encoding on.
template <class Decode, class Encode>
void check_document(std::string_view bytes, Decode decode, Encode encode, const char* name) {
  const auto first = decode(bytes);
  if (!first) return;
  const std::string encoded = encode(*first);
  const auto second = decode(encoded);
  if (!second) fault(name);
  if (encode(*second) != encoded) fault(name);
  const auto third = decode(encoded);
  if (!third || !(*third == *second)) fault(name);
}

void check_response(std::string_view bytes) {
  const auto first = vd::decode_response(bytes);
  if (!first) return;
  const std::string encoded = vd::encode_response(*first);
  const auto second = vd::decode_response(encoded);
  if (!second) fault("the encoding of a decoded response does not decode");
  if (!(*second == *first)) fault("decode(encode(response)) differs from the response");
  if (vd::encode_response(*second) != encoded) fault("response re-encoding is not byte-stable");
  const auto tree = vor::json::parse(encoded);
  if (!tree) fault("the response encoding is not JSON");
  if (vor::json::to_string(vd::response_to_value(*first)) != vor::json::to_sorted_string(*tree)) {
    fault("the value form is not the sorted encoding");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_frames(bytes);
  check_response(bytes);
  check_document(bytes, vd::decode_worker_ready, [](const auto& m) { return vd::encode_worker_ready(m); },
                 "WorkerReady round trip");
  check_document(bytes, vd::decode_ready_ack, [](const auto& m) { return vd::encode_ready_ack(m); },
                 "ReadyAck round trip");
  check_document(bytes, vd::decode_rpc, [](const auto& m) { return vd::encode_rpc(m); }, "Rpc round trip");
  check_document(bytes, vd::decode_reply, [](const auto& m) { return vd::encode_reply(m); }, "Reply round trip");
  check_document(bytes, vd::decode_ack, [](const auto& m) { return vd::encode_ack(m); }, "Ack round trip");
  return 0;
}
