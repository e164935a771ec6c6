// SHA-256 and the operating system's random source, behind one small
// interface: BCrypt on Windows, OpenSSL and getrandom natively. The same test
// vectors run on both sides.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "common/error.h"

namespace vor {

using Sha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 over data that arrives in pieces (a backup file read a block at a
// time), so nothing has to be held in memory whole.
//
//   auto h = Sha256Stream::create();  h->update(chunk) ...;  auto d = h->finish();
class Sha256Stream {
 public:
  virtual ~Sha256Stream() = default;
  virtual Status update(std::span<const std::uint8_t> data) = 0;
  // The digest of everything given; the stream is spent afterwards.
  virtual Result<Sha256Digest> finish() = 0;

  static Result<std::unique_ptr<Sha256Stream>> create();
};

// The digest of one whole buffer.
Result<Sha256Digest> sha256(std::span<const std::uint8_t> data);
Result<Sha256Digest> sha256(std::string_view data);

// 64 lowercase hex digits.
std::string to_hex(std::span<const std::uint8_t> bytes);

// Fills `out` from the operating system's random source.
Status random_bytes(std::span<std::uint8_t> out);

// A fresh random version-4 UUID as 32 lowercase hex digits, no hyphens.
Result<std::string> uuid_v4_hex();

}  // namespace vor
