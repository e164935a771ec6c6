// For the tests of the PNG encoder: a scripted byte sink, and reading back
// what the encoder wrote: the chunks (with their CRCs checked), the inflated
// image data and each row's filter type.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "capture_dxgi/png.h"

namespace vor::desktop::testing {

// A sink scripted to fail its n-th write (1-based; 0 never fails), recording
// every write it sees.
class ScriptedSink final : public ByteSink {
 public:
  explicit ScriptedSink(std::size_t fail_at) : fail_at_(fail_at) {}
  Status write_all(std::span<const std::uint8_t> bytes) override {
    ++writes;
    if (writes == fail_at_) return fail(Error::io("scripted failure"));
    written += bytes.size();
    return {};
  }
  std::size_t writes = 0;
  std::size_t written = 0;

 private:
  std::size_t fail_at_;
};

inline std::uint32_t be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

struct Chunk {
  std::string type;
  std::vector<std::uint8_t> data;
};

// Splits a PNG into chunks, checking the signature, every length and CRC and
// that nothing follows IEND.
inline std::vector<Chunk> parse_chunks(const std::vector<std::uint8_t>& png) {
  const std::uint8_t signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  EXPECT_GE(png.size(), 8u);
  EXPECT_TRUE(png.size() >= 8 && std::equal(signature, signature + 8, png.begin()));
  std::vector<Chunk> chunks;
  std::size_t at = 8;
  while (at < png.size()) {
    if (png.size() - at < 12) {
      ADD_FAILURE() << "truncated chunk at " << at;
      break;
    }
    const std::uint32_t length = be32(&png[at]);
    if (png.size() - at - 12 < length) {
      ADD_FAILURE() << "chunk length past the end at " << at;
      break;
    }
    Chunk c{std::string(png.begin() + at + 4, png.begin() + at + 8),
            std::vector<std::uint8_t>(png.begin() + at + 8, png.begin() + at + 8 + length)};
    const uLong crc = crc32(0L, &png[at + 4], 4 + length);
    EXPECT_EQ(be32(&png[at + 8 + length]), crc) << c.type << " at " << at;
    at += 12 + length;
    chunks.push_back(std::move(c));
    if (chunks.back().type == "IEND") break;
  }
  EXPECT_EQ(at, png.size()) << "bytes after IEND";
  return chunks;
}

// zlib's own inflate of a whole zlib stream that should hold `expected`
// bytes (one more is allowed for, so that a longer stream shows).
inline std::vector<std::uint8_t> inflate_all(const std::vector<std::uint8_t>& zdata, std::size_t expected) {
  std::vector<std::uint8_t> out(expected + 1);
  uLongf out_len = out.size();
  EXPECT_EQ(uncompress(out.data(), &out_len, zdata.data(), zdata.size()), Z_OK);
  out.resize(out_len);
  return out;
}

// The filter type byte of every row of an RGBA PNG of the given size.
inline std::vector<std::uint8_t> row_filters(const std::vector<std::uint8_t>& png, std::uint32_t width,
                                             std::uint32_t height) {
  std::vector<std::uint8_t> zdata;
  for (const Chunk& c : parse_chunks(png)) {
    if (c.type == "IDAT") zdata.insert(zdata.end(), c.data.begin(), c.data.end());
  }
  const std::size_t stride = 1 + std::size_t{width} * 4;
  const std::vector<std::uint8_t> rows = inflate_all(zdata, stride * height);
  std::vector<std::uint8_t> filters;
  for (std::size_t at = 0; at < rows.size(); at += stride) filters.push_back(rows[at]);
  return filters;
}

}  // namespace vor::desktop::testing
