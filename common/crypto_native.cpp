#include <openssl/evp.h>
#include <sys/random.h>

#include <cerrno>

#include "common/crypto.h"

namespace vor {

namespace {

class OpenSslSha256 final : public Sha256Stream {
 public:
  explicit OpenSslSha256(EVP_MD_CTX* ctx) : ctx_(ctx) {}
  ~OpenSslSha256() override { EVP_MD_CTX_free(ctx_); }
  Status update(std::span<const std::uint8_t> data) override {
    if (EVP_DigestUpdate(ctx_, data.data(), data.size()) != 1) return fail(Error::io("SHA-256 failed"));
    return {};
  }
  Result<Sha256Digest> finish() override {
    Sha256Digest out{};
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx_, out.data(), &len) != 1 || len != out.size()) return fail(Error::io("SHA-256 failed"));
    return out;
  }

 private:
  EVP_MD_CTX* ctx_;
};

}  // namespace

Result<std::unique_ptr<Sha256Stream>> Sha256Stream::create() {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr) return fail(Error::io("SHA-256 failed"));
  if (EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(ctx);
    return fail(Error::io("SHA-256 failed"));
  }
  return std::unique_ptr<Sha256Stream>(std::make_unique<OpenSslSha256>(ctx));
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
