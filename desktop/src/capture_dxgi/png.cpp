#include "capture_dxgi/png.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>

namespace vor::desktop {
namespace {

constexpr std::uint8_t kBitDepth = 8;
constexpr std::uint8_t kColourTypeRgba = 6;
constexpr std::uint8_t kCompressionDeflate = 0;
constexpr std::uint8_t kFilterMethodAdaptive = 0;
constexpr std::uint8_t kInterlaceNone = 0;
constexpr std::size_t kIhdrBytes = 13;
constexpr std::size_t kChunkLengthAndTypeBytes = 8;
constexpr std::size_t kChunkCrcBytes = 4;

// Deflate level 6 (zlib's default). Measured on 1280 x 720 screen-like
// previews: level 9 is about five times slower for 2 per cent smaller
// output, level 1 is faster but up to four times larger on smooth content;
// the size bound makes those losses count, the worker's time budget the
// other way round. Level 6 takes a few tens of milliseconds per preview.
constexpr int kDeflateLevel = 6;
constexpr int kDeflateWindowBits = 15;  // zlib stream, 32 KiB window
constexpr int kDeflateMemLevel = 8;

// Compressed data is flushed in IDAT chunks of this size, so a large image is
// written (and refused by the bounded buffer) as it is compressed instead of
// after the whole stream exists.
constexpr std::size_t kIdatChunkBytes = 64 * 1024;

// PNG row filter types.
enum Filter : std::uint8_t { kNone = 0, kSub = 1, kUp = 2, kAverage = 3, kPaeth = 4 };
constexpr int kFilterCount = 5;

void put_u32_be(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

// One chunk in a single write: `buffer` holds 8 free bytes, then `length`
// bytes of data, then 4 free bytes for the CRC (over type and data).
Status write_chunk(ByteSink& sink, std::uint8_t* buffer, const char (&type)[5], std::size_t length) {
  put_u32_be(buffer, static_cast<std::uint32_t>(length));
  std::copy(type, type + 4, buffer + 4);
  const uLong crc = crc32(crc32(0L, Z_NULL, 0), buffer + 4, static_cast<uInt>(4 + length));
  put_u32_be(buffer + kChunkLengthAndTypeBytes + length, static_cast<std::uint32_t>(crc));
  return sink.write_all({buffer, kChunkLengthAndTypeBytes + length + kChunkCrcBytes});
}

std::uint8_t paeth(std::uint8_t a, std::uint8_t b, std::uint8_t c) {
  const int p = int{a} + b - c;
  const int pa = std::abs(p - a);
  const int pb = std::abs(p - b);
  const int pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) return a;
  if (pb <= pc) return b;
  return c;
}

// Row filtering. Each row gets the filter whose output has the smallest sum
// of absolute values (bytes read as signed), the heuristic the PNG format
// recommends for truecolour images. A single fixed filter fails somewhere:
// without filtering, smooth gradients and wallpapers compress so badly that
// a full preview can pass the size bound, while Sub, Up or Paeth alone lose
// on some rows of sharp-edged screen content. The adaptive choice stayed
// within a fifth of the best fixed filter on every image we measured and
// costs one extra pass over each row.
// Calls fn(x, v, a, b, c) for each byte x of a row: v the byte itself, a the
// same channel of the pixel to the left, b the byte above, c the byte above
// left, each 0 outside the image. The first pixel has its own loop so the
// main loop carries no branches.
template <class Fn>
inline void for_each_prediction(const std::uint8_t* row, const std::uint8_t* above, std::size_t row_bytes, Fn&& fn) {
  for (std::size_t x = 0; x < kBytesPerPixel; ++x) fn(x, row[x], std::uint8_t{0}, above[x], std::uint8_t{0});
  for (std::size_t x = kBytesPerPixel; x < row_bytes; ++x) {
    fn(x, row[x], row[x - kBytesPerPixel], above[x], above[x - kBytesPerPixel]);
  }
}

class RowFilter {
 public:
  explicit RowFilter(std::size_t row_bytes) : row_bytes_(row_bytes), zeros_(row_bytes), out_(1 + row_bytes) {}

  // The filter type byte followed by the filtered row; `above` is null for
  // the first row (PNG treats it as zeros).
  std::span<const std::uint8_t> filter(const std::uint8_t* row, const std::uint8_t* above) {
    if (!above) above = zeros_.data();
    std::array<std::uint64_t, kFilterCount> cost{};
    for_each_prediction(row, above, row_bytes_,
                        [&](std::size_t, std::uint8_t v, std::uint8_t a, std::uint8_t b, std::uint8_t c) {
                          cost[kNone] += signed_magnitude(v);
                          cost[kSub] += signed_magnitude(v - a);
                          cost[kUp] += signed_magnitude(v - b);
                          cost[kAverage] += signed_magnitude(v - ((a + b) >> 1));
                          cost[kPaeth] += signed_magnitude(v - paeth(a, b, c));
                        });
    const auto best = static_cast<Filter>(std::min_element(cost.begin(), cost.end()) - cost.begin());
    out_[0] = best;
    std::uint8_t* out = out_.data() + 1;
    auto emit = [&](auto predict) {
      for_each_prediction(row, above, row_bytes_,
                          [&](std::size_t x, std::uint8_t v, std::uint8_t a, std::uint8_t b, std::uint8_t c) {
                            out[x] = static_cast<std::uint8_t>(v - predict(a, b, c));
                          });
    };
    using U8 = std::uint8_t;
    switch (best) {
      case kNone: std::copy(row, row + row_bytes_, out); break;
      case kSub: emit([](U8 a, U8, U8) { return a; }); break;
      case kUp: emit([](U8, U8 b, U8) { return b; }); break;
      case kAverage: emit([](U8 a, U8 b, U8) { return static_cast<U8>((a + b) >> 1); }); break;
      case kPaeth: emit([](U8 a, U8 b, U8 c) { return paeth(a, b, c); }); break;
    }
    return out_;
  }

 private:
  static std::uint32_t signed_magnitude(int difference) {
    const auto byte = static_cast<std::int8_t>(static_cast<std::uint8_t>(difference));
    return static_cast<std::uint32_t>(byte < 0 ? -int{byte} : int{byte});
  }

  std::size_t row_bytes_;
  std::vector<std::uint8_t> zeros_;  // the row above the first
  std::vector<std::uint8_t> out_;
};

// Owns an initialised deflate stream.
class Deflater {
 public:
  Deflater() = default;
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  ~Deflater() {
    if (initialised_) deflateEnd(&stream_);
  }
  Status init() {
    if (deflateInit2(&stream_, kDeflateLevel, Z_DEFLATED, kDeflateWindowBits, kDeflateMemLevel,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
      return fail(Error::io("png deflate could not start"));
    }
    initialised_ = true;
    return {};
  }
  z_stream& stream() { return stream_; }

 private:
  z_stream stream_{};
  bool initialised_ = false;
};

// Streams filtered rows through deflate into IDAT chunks written to the sink.
class IdatWriter {
 public:
  explicit IdatWriter(ByteSink& sink)
      : sink_(sink), chunk_(kChunkLengthAndTypeBytes + kIdatChunkBytes + kChunkCrcBytes) {}

  Status init() {
    if (auto ok = deflater_.init(); !ok) return ok;
    reset_output();
    return {};
  }

  Status add(std::span<const std::uint8_t> bytes) { return run(bytes, Z_NO_FLUSH); }
  Status finish() { return run({}, Z_FINISH); }

 private:
  Status run(std::span<const std::uint8_t> bytes, int flush) {
    z_stream& z = deflater_.stream();
    z.next_in = const_cast<Bytef*>(bytes.data());
    z.avail_in = static_cast<uInt>(bytes.size());
    for (;;) {
      const int rc = deflate(&z, flush);
      if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
        return fail(Error::io("png deflate failed"));
      }
      if (z.avail_out == 0) {
        if (auto ok = emit(); !ok) return ok;
        continue;
      }
      if (flush == Z_FINISH) {
        if (rc == Z_STREAM_END) return emit();
        // Output space is left, so no progress means a broken stream.
        if (rc == Z_BUF_ERROR) return fail(Error::io("png deflate failed"));
        continue;
      }
      if (z.avail_in == 0) return {};
    }
  }

  Status emit() {
    const std::size_t used = kIdatChunkBytes - deflater_.stream().avail_out;
    if (used == 0) return {};
    if (auto ok = write_chunk(sink_, chunk_.data(), "IDAT", used); !ok) return ok;
    reset_output();
    return {};
  }

  void reset_output() {
    z_stream& z = deflater_.stream();
    z.next_out = chunk_.data() + kChunkLengthAndTypeBytes;
    z.avail_out = static_cast<uInt>(kIdatChunkBytes);
  }

  ByteSink& sink_;
  Deflater deflater_;
  std::vector<std::uint8_t> chunk_;
};

}  // namespace

Status BoundedPngBuffer::write_all(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return {};
  if (bytes.size() > kPngMaxBytes - bytes_.size()) return fail(Error::io(std::string(kCaptureTooLarge)));
  const std::size_t needed = bytes_.size() + bytes.size();
  if (needed > bytes_.capacity()) {
    // Grow geometrically, but never reserve past the bound.
    bytes_.reserve(std::min(std::max(needed, 2 * bytes_.capacity()), kPngMaxBytes));
  }
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return {};
}

Status write_png(ByteSink& sink, const RgbaPreview& preview) {
  if (auto ok = check_preview(preview); !ok) return ok;
  if (auto ok = sink.write_all(kPngSignature); !ok) return ok;

  std::array<std::uint8_t, kChunkLengthAndTypeBytes + kIhdrBytes + kChunkCrcBytes> ihdr{};
  std::uint8_t* data = ihdr.data() + kChunkLengthAndTypeBytes;
  put_u32_be(data, preview.width);
  put_u32_be(data + 4, preview.height);
  data[8] = kBitDepth;
  data[9] = kColourTypeRgba;
  data[10] = kCompressionDeflate;
  data[11] = kFilterMethodAdaptive;
  data[12] = kInterlaceNone;
  if (auto ok = write_chunk(sink, ihdr.data(), "IHDR", kIhdrBytes); !ok) return ok;

  IdatWriter idat(sink);
  if (auto ok = idat.init(); !ok) return ok;
  const std::size_t row_bytes = std::size_t{preview.width} * kBytesPerPixel;
  RowFilter filter(row_bytes);
  const std::uint8_t* above = nullptr;
  for (std::uint32_t y = 0; y < preview.height; ++y) {
    const std::uint8_t* row = preview.pixels.data() + y * row_bytes;
    if (auto ok = idat.add(filter.filter(row, above)); !ok) return ok;
    above = row;
  }
  if (auto ok = idat.finish(); !ok) return ok;

  std::array<std::uint8_t, kChunkLengthAndTypeBytes + kChunkCrcBytes> iend{};
  return write_chunk(sink, iend.data(), "IEND", 0);
}

Result<std::vector<std::uint8_t>> encode_png(const RgbaPreview& preview) {
  BoundedPngBuffer buffer;
  if (auto ok = write_png(buffer, preview); !ok) return fail(std::move(ok.error()));
  return std::move(buffer).take();
}

}  // namespace vor::desktop
