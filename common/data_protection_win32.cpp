#include <windows.h>
#include <dpapi.h>

#include "common/data_protection.h"

namespace vor {
namespace {

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
    DATA_BLOB out{0, nullptr};
    DATA_BLOB* extra_ptr = entropy.empty() ? nullptr : &extra;
    const BOOL ok = protecting ? ::CryptProtectData(&in, nullptr, extra_ptr, nullptr, nullptr, flags, &out)
                               : ::CryptUnprotectData(&in, nullptr, extra_ptr, nullptr, nullptr, flags, &out);
    const DWORD err = ok ? 0 : ::GetLastError();
    Bytes result;
    if (ok && out.pbData != nullptr) result.assign(out.pbData, out.pbData + out.cbData);
    if (out.pbData != nullptr) {
      ::SecureZeroMemory(out.pbData, out.cbData);
      ::LocalFree(out.pbData);
    }
    if (!ok) return fail(Error::os(err, protecting ? "CryptProtectData failed" : "CryptUnprotectData failed"));
    if (out.pbData == nullptr) return fail(Error::io("DPAPI returned no buffer"));
    return result;
  }
};

}  // namespace

std::unique_ptr<DataProtection> make_win32_data_protection() { return std::make_unique<Win32DataProtection>(); }

}  // namespace vor
