#include "common/data_protection.h"

namespace vor {

void wipe_bytes(Bytes& buffer) {
  // volatile stores so the compiler cannot drop the wipe of memory about to be freed.
  volatile std::uint8_t* p = buffer.data();
  for (std::size_t i = 0; i < buffer.size(); ++i) p[i] = 0;
  buffer.clear();
  p = buffer.data();
  for (std::size_t i = 0; i < buffer.capacity(); ++i) p[i] = 0;
}

}  // namespace vor
