// DPAPI behind a port, for the protected files of both programs.
//
// `DataProtection::protect` and `unprotect` are raw calls: the caller chooses
// the flags and the optional entropy, and owns every rule about sizes and
// envelopes. The Win32 adapter zeroes the buffer that DPAPI returns over its
// full length before releasing it, on success and on refusal; a failed call
// returns the OS error.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/error.h"

namespace vor {

using Bytes = std::vector<std::uint8_t>;

class DataProtection {
 public:
  static constexpr std::uint32_t kUiForbidden = 0x1;    // CRYPTPROTECT_UI_FORBIDDEN
  static constexpr std::uint32_t kLocalMachine = 0x4;   // CRYPTPROTECT_LOCAL_MACHINE

  virtual ~DataProtection() = default;
  // `entropy` empty means no entropy is passed at all.
  virtual Result<Bytes> protect(std::span<const std::uint8_t> plaintext, std::span<const std::uint8_t> entropy,
                                std::uint32_t flags) = 0;
  virtual Result<Bytes> unprotect(std::span<const std::uint8_t> blob, std::span<const std::uint8_t> entropy,
                                  std::uint32_t flags) = 0;
};

// Sets every byte to zero, empties the buffer, then zeroes its whole capacity.
void wipe_bytes(Bytes& buffer);

#ifdef _WIN32
// CryptProtectData / CryptUnprotectData (crypt32).
std::unique_ptr<DataProtection> make_win32_data_protection();
#endif

}  // namespace vor
