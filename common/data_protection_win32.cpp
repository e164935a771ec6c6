#include <windows.h>
#include <dpapi.h>

#include "common/data_protection.h"
#include "common/system_library_win32.h"

namespace vor {
namespace {

// The buffer DPAPI hands back: wiped and freed when the owner goes, also when
// copying out of it throws.
class DpapiOutput {
 public:
  DpapiOutput() = default;
  DpapiOutput(const DpapiOutput&) = delete;
  DpapiOutput& operator=(const DpapiOutput&) = delete;
  ~DpapiOutput() {
    if (blob_.pbData == nullptr) return;
    ::SecureZeroMemory(blob_.pbData, blob_.cbData);
    ::LocalFree(blob_.pbData);
  }

  DATA_BLOB* put() { return &blob_; }
  const DATA_BLOB& get() const { return blob_; }

 private:
  DATA_BLOB blob_{0, nullptr};
};

// DPAPI lives in crypt32, which only the commands that read or write
// protected files need.
constinit SystemFunction<decltype(::CryptProtectData)> crypt_protect_data(L"crypt32.dll", "CryptProtectData");
constinit SystemFunction<decltype(::CryptUnprotectData)> crypt_unprotect_data(L"crypt32.dll", "CryptUnprotectData");

class Win32DataProtection final : public DataProtection {
 public:
  Result<Bytes> protect(std::span<const std::uint8_t> plaintext, std::span<const std::uint8_t> entropy,
                        std::uint32_t flags) override {
    return call(true, plaintext, entropy, flags);
  }
  Result<Bytes> unprotect(std::span<const std::uint8_t> blob, std::span<const std::uint8_t> entropy,
                          std::uint32_t flags) override {
    return call(false, blob, entropy, flags);
  }

 private:
  static Result<Bytes> call(bool protecting, std::span<const std::uint8_t> input, std::span<const std::uint8_t> entropy,
                            std::uint32_t flags) {
    DATA_BLOB in{static_cast<DWORD>(input.size()), const_cast<BYTE*>(input.data())};
    DATA_BLOB extra{static_cast<DWORD>(entropy.size()), const_cast<BYTE*>(entropy.data())};
    DpapiOutput out;
    DATA_BLOB* extra_ptr = entropy.empty() ? nullptr : &extra;
    // A function that cannot be bound fails like the call itself, with the
    // error of the binding.
    BOOL ok = FALSE;
    if (protecting) {
      auto fn = crypt_protect_data.get();
      if (!fn) return fail(Error::os(fn.error(), "CryptProtectData unavailable"));
      ok = (*fn)(&in, nullptr, extra_ptr, nullptr, nullptr, flags, out.put());
    } else {
      auto fn = crypt_unprotect_data.get();
      if (!fn) return fail(Error::os(fn.error(), "CryptUnprotectData unavailable"));
      ok = (*fn)(&in, nullptr, extra_ptr, nullptr, nullptr, flags, out.put());
    }
    if (!ok) {
      const DWORD err = ::GetLastError();
      return fail(Error::os(err, protecting ? "CryptProtectData failed" : "CryptUnprotectData failed"));
    }
    if (out.get().pbData == nullptr) return fail(Error::io("DPAPI returned no buffer"));
    return Bytes(out.get().pbData, out.get().pbData + out.get().cbData);
  }
};

}  // namespace

std::unique_ptr<DataProtection> make_win32_data_protection() { return std::make_unique<Win32DataProtection>(); }

}  // namespace vor
