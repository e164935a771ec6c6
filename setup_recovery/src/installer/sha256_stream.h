// SHA-256 over data that arrives in pieces (a backup file read 65,536 bytes
// at a time), so no file has to be held in memory whole. BCrypt on Windows,
// OpenSSL natively; the digest equals common/crypto.h's sha256 of the whole.
//
//   auto h = Sha256Stream::create();  h->update(chunk) ...;  auto d = h->finish();
#pragma once

#include <memory>
#include <span>

#include "common/crypto.h"

namespace vor::setup {

class Sha256Stream {
 public:
  virtual ~Sha256Stream() = default;
  virtual Status update(std::span<const std::uint8_t> data) = 0;
  // The digest of everything given; the stream is spent afterwards.
  virtual Result<Sha256Digest> finish() = 0;

  static Result<std::unique_ptr<Sha256Stream>> create();
};

}  // namespace vor::setup
