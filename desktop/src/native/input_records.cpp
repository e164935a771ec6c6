#include "native/input_records.h"

#include <algorithm>
#include <utility>

namespace vor::desktop {
namespace {

constexpr std::uint32_t kClickMoveFlags = kMouseEventMove | kMouseEventVirtualDesk | kMouseEventAbsolute;

InputRecord key(std::uint16_t virtual_key, std::uint32_t flags) {
  KeyboardInput k;
  k.virtual_key = virtual_key;
  k.flags = flags;
  return k;
}

std::uint16_t single_key(KeyName name) {
  switch (name) {
    case KeyName::kEnter: return kVkReturn;
    case KeyName::kEscape: return kVkEscape;
    case KeyName::kTab: return kVkTab;
    case KeyName::kBackspace: return kVkBack;
    case KeyName::kSpace: return kVkSpace;
    case KeyName::kUp: return kVkUp;
    case KeyName::kDown: return kVkDown;
    case KeyName::kLeft: return kVkLeft;
    case KeyName::kRight: return kVkRight;
    case KeyName::kAltTab:
    case KeyName::kShowDesktop: break;
  }
  return 0;
}

// A modifier held around one key: modifier down, key down, key up, modifier up.
std::vector<InputRecord> chord(std::uint16_t modifier, std::uint32_t modifier_flags, std::uint16_t virtual_key) {
  return {key(modifier, modifier_flags), key(virtual_key, 0), key(virtual_key, kKeyEventKeyUp),
          key(modifier, modifier_flags | kKeyEventKeyUp)};
}

}  // namespace

std::vector<InputRecord> build_key_inputs(KeyName name) {
  switch (name) {
    case KeyName::kAltTab: return chord(kVkMenu, 0, kVkTab);
    case KeyName::kShowDesktop: return chord(kVkLeftWin, kKeyEventExtendedKey, kVkD);
    default: break;
  }
  const std::uint16_t vk = single_key(name);
  return {key(vk, 0), key(vk, kKeyEventKeyUp)};
}

Result<std::vector<InputRecord>> build_click_inputs(const VirtualScreen& screen, std::int32_t left,
                                                    std::int32_t top, std::int32_t x, std::int32_t y) {
  if (screen.width <= 1 || screen.height <= 1) return fail(coded(kCoordinateOutsideScreen));
  const std::int64_t px = std::int64_t{left} + x - screen.left;
  const std::int64_t py = std::int64_t{top} + y - screen.top;
  if (px < 0 || px >= screen.width || py < 0 || py >= screen.height) {
    return fail(coded(kCoordinateOutsideScreen));
  }
  MouseInput move;
  move.dx = static_cast<std::int32_t>(px * 65535 / (screen.width - 1));
  move.dy = static_cast<std::int32_t>(py * 65535 / (screen.height - 1));
  move.flags = kClickMoveFlags;
  MouseInput down = move;
  down.flags = kMouseEventLeftDown;
  MouseInput up = move;
  up.flags = kMouseEventLeftUp;
  return std::vector<InputRecord>{move, down, up};
}

std::vector<InputRecord> text_to_key_inputs(std::u16string_view text) {
  std::vector<InputRecord> records;
  records.reserve(std::max<std::size_t>(4, text.size() * 2));
  for (const char16_t unit : text) {
    KeyboardInput k;
    k.scan = static_cast<std::uint16_t>(unit);
    k.flags = kKeyEventUnicode;
    records.push_back(k);
    k.flags = kKeyEventUnicode | kKeyEventKeyUp;
    records.push_back(k);
  }
  return records;
}

std::vector<InputRecord> release_stuck_inputs(const std::vector<InputRecord>& records, std::size_t count,
                                              std::size_t sent) {
  const std::size_t walked = std::min({sent, count, records.size()});
  std::vector<InputRecord> held;
  for (std::size_t i = 0; i < walked; ++i) {
    if (const auto* mouse = std::get_if<MouseInput>(&records[i])) {
      if (mouse->flags & kMouseEventLeftUp) {
        std::erase_if(held, [](const InputRecord& h) { return std::holds_alternative<MouseInput>(h); });
      } else if (mouse->flags & kMouseEventLeftDown) {
        held.push_back(*mouse);
      }
      continue;
    }
    const auto& k = std::get<KeyboardInput>(records[i]);
    if (k.flags & kKeyEventKeyUp) {
      const std::uint32_t down_flags = k.flags & ~kKeyEventKeyUp;
      std::erase_if(held, [&](const InputRecord& h) {
        const auto* hk = std::get_if<KeyboardInput>(&h);
        return hk && hk->virtual_key == k.virtual_key && hk->scan == k.scan && hk->flags == down_flags;
      });
    } else {
      held.push_back(k);
    }
  }
  std::vector<InputRecord> release;
  release.reserve(held.size());
  for (auto it = held.rbegin(); it != held.rend(); ++it) {
    if (auto* k = std::get_if<KeyboardInput>(&*it)) {
      KeyboardInput up = *k;
      up.flags |= kKeyEventKeyUp;
      release.push_back(up);
    } else {
      MouseInput up = std::get<MouseInput>(*it);
      up.flags = kMouseEventLeftUp;
      release.push_back(up);
    }
  }
  return release;
}

}  // namespace vor::desktop
