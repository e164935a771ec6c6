#include "common/crypto.h"

namespace vor {

Result<Sha256Digest> sha256(std::span<const std::uint8_t> data) {
  VOR_ASSIGN_OR_RETURN(auto stream, Sha256Stream::create());
  VOR_RETURN_IF_ERROR(stream->update(data));
  return stream->finish();
}

Result<Sha256Digest> sha256(std::string_view data) {
  return sha256(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
}

std::string to_hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
  return out;
}

Result<std::string> uuid_v4_hex() {
  std::array<std::uint8_t, 16> b{};
  VOR_RETURN_IF_ERROR(random_bytes(b));
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return to_hex(b);
}

}  // namespace vor
