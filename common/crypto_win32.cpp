#include <windows.h>
#include <bcrypt.h>

#include "common/crypto.h"

namespace vor {

namespace {

Error bcrypt_error(NTSTATUS status, const char* call) {
  return Error::os(static_cast<std::uint32_t>(status), std::string(call) + " failed");
}

class BCryptSha256 final : public Sha256Stream {
 public:
  BCryptSha256(BCRYPT_ALG_HANDLE alg, BCRYPT_HASH_HANDLE hash) : alg_(alg), hash_(hash) {}
  ~BCryptSha256() override {
    if (hash_ != nullptr) BCryptDestroyHash(hash_);
    BCryptCloseAlgorithmProvider(alg_, 0);
  }
  Status update(std::span<const std::uint8_t> data) override {
    const NTSTATUS st = BCryptHashData(hash_, const_cast<PUCHAR>(data.data()), static_cast<ULONG>(data.size()), 0);
    if (!BCRYPT_SUCCESS(st)) return fail(bcrypt_error(st, "BCryptHashData"));
    return {};
  }
  Result<Sha256Digest> finish() override {
    Sha256Digest out{};
    const NTSTATUS st = BCryptFinishHash(hash_, out.data(), static_cast<ULONG>(out.size()), 0);
    if (!BCRYPT_SUCCESS(st)) return fail(bcrypt_error(st, "BCryptFinishHash"));
    return out;
  }

 private:
  BCRYPT_ALG_HANDLE alg_;
  BCRYPT_HASH_HANDLE hash_;
};

}  // namespace

Result<std::unique_ptr<Sha256Stream>> Sha256Stream::create() {
  BCRYPT_ALG_HANDLE alg = nullptr;
  NTSTATUS st = BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  if (!BCRYPT_SUCCESS(st)) return fail(bcrypt_error(st, "BCryptOpenAlgorithmProvider"));
  BCRYPT_HASH_HANDLE hash = nullptr;
  st = BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0);
  if (!BCRYPT_SUCCESS(st)) {
    BCryptCloseAlgorithmProvider(alg, 0);
    return fail(bcrypt_error(st, "BCryptCreateHash"));
  }
  return std::unique_ptr<Sha256Stream>(std::make_unique<BCryptSha256>(alg, hash));
}


namespace {

using ProcessPrngFn = BOOL(WINAPI*)(PBYTE, SIZE_T);

// ProcessPrng lives in bcryptprimitives.dll, which Wine does not ship: look it
// up once and fall back to BCryptGenRandom when it is missing.
ProcessPrngFn process_prng() {
  static const ProcessPrngFn fn = [] {
    HMODULE m = ::LoadLibraryExW(L"bcryptprimitives.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return m ? reinterpret_cast<ProcessPrngFn>(reinterpret_cast<void*>(::GetProcAddress(m, "ProcessPrng"))) : nullptr;
  }();
  return fn;
}

}  // namespace

Status random_bytes(std::span<std::uint8_t> out) {
  if (ProcessPrngFn fn = process_prng()) {
    if (fn(out.data(), out.size())) return {};
  }
  const NTSTATUS st = BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (!BCRYPT_SUCCESS(st)) return fail(Error::os(static_cast<std::uint32_t>(st), "BCryptGenRandom failed"));
  return {};
}

}  // namespace vor
