#include <openssl/evp.h>
#include <sys/random.h>

#include <cerrno>

#include "common/crypto.h"

namespace vor {

Result<Sha256Digest> sha256(std::span<const std::uint8_t> data) {
  Sha256Digest out{};
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_sha256(), nullptr) != 1 || len != out.size()) {
    return fail(Error::io("SHA-256 failed"));
  }
  return out;
}

Status random_bytes(std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error::os(static_cast<std::uint32_t>(errno)));
    }
    done += static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace vor
