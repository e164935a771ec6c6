#include <windows.h>
#include <bcrypt.h>

#include "common/crypto.h"

namespace vor {

namespace {

// The SHA-256 provider, opened once for the life of the process.
BCRYPT_ALG_HANDLE sha256_provider(NTSTATUS& status) {
  static NTSTATUS open_status = 0;
  static const BCRYPT_ALG_HANDLE handle = [] {
    BCRYPT_ALG_HANDLE h = nullptr;
    open_status = BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    return BCRYPT_SUCCESS(open_status) ? h : nullptr;
  }();
  status = open_status;
  return handle;
}

}  // namespace

Result<Sha256Digest> sha256(std::span<const std::uint8_t> data) {
  Sha256Digest out{};
  NTSTATUS open = 0;
  BCRYPT_ALG_HANDLE alg = sha256_provider(open);
  if (alg == nullptr) return fail(Error::os(static_cast<std::uint32_t>(open), "BCryptOpenAlgorithmProvider failed"));
  const NTSTATUS st = BCryptHash(alg, nullptr, 0, const_cast<PUCHAR>(data.data()),
                                 static_cast<ULONG>(data.size()), out.data(), static_cast<ULONG>(out.size()));
  if (!BCRYPT_SUCCESS(st)) return fail(Error::os(static_cast<std::uint32_t>(st), "BCryptHash failed"));
  return out;
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
