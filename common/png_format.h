// The PNG facts that both the capture, which encodes images, and the state
// store, which keeps and exports them, check.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vor {

// The eight bytes every PNG starts with.
inline constexpr std::array<std::uint8_t, 8> kPngSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// The largest PNG a capture may produce and the state store keeps.
inline constexpr std::size_t kPngMaxBytes = 1433600;

}  // namespace vor
