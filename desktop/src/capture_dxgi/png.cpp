#include "capture_dxgi/png.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>

#include "capture_dxgi/png_deflate.h"

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

// Compressed data is written in IDAT chunks of this size, so a large image is
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

std::uint8_t predict(Filter f, std::uint8_t a, std::uint8_t b, std::uint8_t c) {
  switch (f) {
    case kNone: return 0;
    case kSub: return a;
    case kUp: return b;
    case kAverage: return static_cast<std::uint8_t>((a + b) >> 1);
    case kPaeth: return paeth(a, b, c);
  }
  return 0;
}

// Sixteen bytes at a time, all arithmetic on bytes (GCC vector extensions:
// SSE2 on x86-64).
using Bytes = std::uint8_t __attribute__((vector_size(16)));
using Counts = std::uint16_t __attribute__((vector_size(16)));
constexpr std::size_t kLane = sizeof(Bytes);

Bytes load(const std::uint8_t* p) {
  Bytes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void store(std::uint8_t* p, Bytes v) { std::memcpy(p, &v, sizeof v); }

Bytes average(Bytes a, Bytes b) { return (a & b) + ((a ^ b) >> 1); }

Bytes distance(Bytes x, Bytes y) { return (x > y) ? Bytes(x - y) : Bytes(y - x); }

// Paeth's predictor: of a (left), b (above) and c (above left), the one
// closest to p = a + b - c, ties going to a, then b. With pa = |b - c| and
// pb = |a - c|, |p - c| is pa + pb when a - c and b - c have the same sign
// and |pa - pb| otherwise; a sum past 255 saturates, which keeps every
// comparison below right since both pa and pb are at most 255.
[[gnu::always_inline]] inline Bytes paeth(Bytes a, Bytes b, Bytes c) {
  const Bytes pa = distance(b, c);
  const Bytes pb = distance(a, c);
  const Bytes sum = pa + pb;
  const Bytes saturated = sum | Bytes(sum < pa);
  const Bytes pc = ((a < c) == (b < c)) ? saturated : distance(pa, pb);
  return ((pa <= pb) & (pa <= pc)) ? a : ((pb <= pc) ? b : c);
}

[[gnu::always_inline]] inline Bytes predict(Filter f, Bytes a, Bytes b, Bytes c) {
  switch (f) {
    case kNone: return Bytes{};
    case kSub: return a;
    case kUp: return b;
    case kAverage: return average(a, b);
    case kPaeth: return paeth(a, b, c);
  }
  return Bytes{};
}

// Adds |d| of each byte read as signed (0 to 128) to the counters, two
// neighbouring bytes to each 16-bit counter.
void add_magnitude(Counts& counts, Bytes d) {
  const Bytes negated = -d;
  Counts pairs;
  const Bytes m = (d < negated) ? d : negated;
  std::memcpy(&pairs, &m, sizeof pairs);
  counts += (pairs & 0xFF) + (pairs >> 8);
}

// Row filtering. Each row gets the filter whose output has the smallest sum
// of absolute values (bytes read as signed), the heuristic the PNG format
// recommends for truecolour images; sharp-edged screen content and smooth
// gradients favour different filters, often within one image. The sums are
// taken on every kSampleStride-th group of 16 bytes of the row: on screen
// images that picks the same filter as the whole row nearly always, for a
// fraction of the cost.
constexpr std::size_t kSampleStride = 4;
// Groups summed into 16-bit counters before they are added up (each group
// adds at most 256 per counter).
constexpr std::size_t kGroupsPerCount = 255;

class RowFilter {
 public:
  explicit RowFilter(std::size_t row_bytes) : row_bytes_(row_bytes), zeros_(row_bytes) {}

  // Writes the filter type byte followed by the filtered row to `out`
  // (1 + row bytes); `above` is null for the first row (PNG treats it as
  // zeros).
  void filter(const std::uint8_t* row, const std::uint8_t* above, std::uint8_t* out) const {
    if (!above) above = zeros_.data();
    const Filter best = choose(row, above);
    out[0] = best;
    emit(best, row, above, out + 1);
  }

 private:
  Filter choose(const std::uint8_t* row, const std::uint8_t* above) const {
    std::array<std::uint64_t, kFilterCount> cost{};
    std::array<Counts, kFilterCount> counts{};
    std::size_t groups = 0;
    auto add_up = [&] {
      for (int f = 0; f < kFilterCount; ++f) {
        for (std::size_t i = 0; i < kLane / 2; ++i) cost[f] += counts[f][i];
        counts[f] = Counts{};
      }
      groups = 0;
    };
    for (std::size_t x = kBytesPerPixel; x + kLane <= row_bytes_; x += kSampleStride * kLane) {
      const Bytes v = load(row + x);
      const Bytes a = load(row + x - kBytesPerPixel);
      const Bytes b = load(above + x);
      const Bytes c = load(above + x - kBytesPerPixel);
      add_magnitude(counts[kNone], v);
      add_magnitude(counts[kSub], v - a);
      add_magnitude(counts[kUp], v - b);
      add_magnitude(counts[kAverage], v - average(a, b));
      add_magnitude(counts[kPaeth], v - paeth(a, b, c));
      if (++groups == kGroupsPerCount) add_up();
    }
    add_up();
    // The first pixel, and rows too narrow for a group, byte by byte.
    const std::size_t scalar_end = row_bytes_ < kBytesPerPixel + kLane ? row_bytes_ : kBytesPerPixel;
    for (std::size_t x = 0; x < scalar_end; ++x) {
      const std::uint8_t a = x >= kBytesPerPixel ? row[x - kBytesPerPixel] : 0;
      const std::uint8_t c = x >= kBytesPerPixel ? above[x - kBytesPerPixel] : 0;
      for (int f = 0; f < kFilterCount; ++f) {
        const auto d = static_cast<std::int8_t>(static_cast<std::uint8_t>(row[x] - predict(Filter(f), a, above[x], c)));
        cost[f] += static_cast<std::uint64_t>(d < 0 ? -int{d} : int{d});
      }
    }
    return static_cast<Filter>(std::min_element(cost.begin(), cost.end()) - cost.begin());
  }

  void emit(Filter f, const std::uint8_t* row, const std::uint8_t* above, std::uint8_t* out) const {
    // One loop per filter, so that the filter is not chosen again per group.
    switch (f) {
      case kNone: return emit_as<kNone>(row, above, out);
      case kSub: return emit_as<kSub>(row, above, out);
      case kUp: return emit_as<kUp>(row, above, out);
      case kAverage: return emit_as<kAverage>(row, above, out);
      case kPaeth: return emit_as<kPaeth>(row, above, out);
    }
  }

  template <Filter F>
  void emit_as(const std::uint8_t* row, const std::uint8_t* above, std::uint8_t* out) const {
    std::size_t x = 0;
    for (; x < std::min<std::size_t>(kBytesPerPixel, row_bytes_); ++x) {
      out[x] = static_cast<std::uint8_t>(row[x] - predict(F, 0, above[x], 0));
    }
    for (; x + kLane <= row_bytes_; x += kLane) {
      const Bytes v = load(row + x);
      store(out + x, v - predict(F, load(row + x - kBytesPerPixel), load(above + x), load(above + x - kBytesPerPixel)));
    }
    for (; x < row_bytes_; ++x) {
      out[x] = static_cast<std::uint8_t>(row[x] - predict(F, row[x - kBytesPerPixel], above[x], above[x - kBytesPerPixel]));
    }
  }

  std::size_t row_bytes_;
  std::vector<std::uint8_t> zeros_;  // the row above the first
};

// Takes the zlib stream and writes it as IDAT chunks of kIdatChunkBytes (the
// last one shorter).
class IdatSink final : public ByteSink {
 public:
  explicit IdatSink(ByteSink& sink) : sink_(sink), chunk_(kChunkLengthAndTypeBytes + kIdatChunkBytes + kChunkCrcBytes) {}

  Status write_all(std::span<const std::uint8_t> bytes) override {
    while (!bytes.empty()) {
      const std::size_t n = std::min(bytes.size(), kIdatChunkBytes - used_);
      std::memcpy(chunk_.data() + kChunkLengthAndTypeBytes + used_, bytes.data(), n);
      used_ += n;
      bytes = bytes.subspan(n);
      if (used_ == kIdatChunkBytes) {
        if (auto ok = flush(); !ok) return ok;
      }
    }
    return {};
  }

  Status flush() {
    if (used_ == 0) return {};
    const std::size_t n = used_;
    used_ = 0;
    return write_chunk(sink_, chunk_.data(), "IDAT", n);
  }

 private:
  ByteSink& sink_;
  std::vector<std::uint8_t> chunk_;
  std::size_t used_ = 0;
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

  // Each row is filtered against the one above it and handed to the
  // compressor, which writes IDAT chunks as it goes.
  const std::size_t row_bytes = std::size_t{preview.width} * kBytesPerPixel;
  const RowFilter filter(row_bytes);
  std::vector<std::uint8_t> filtered(1 + row_bytes);
  IdatSink idat(sink);
  ZlibStream stream(idat);
  const std::uint8_t* above = nullptr;
  for (std::uint32_t y = 0; y < preview.height; ++y) {
    const std::uint8_t* row = preview.pixels.data() + y * row_bytes;
    filter.filter(row, above, filtered.data());
    if (auto ok = stream.write(filtered); !ok) return ok;
    above = row;
  }
  if (auto ok = stream.finish(); !ok) return ok;
  if (auto ok = idat.flush(); !ok) return ok;

  std::array<std::uint8_t, kChunkLengthAndTypeBytes + kChunkCrcBytes> iend{};
  return write_chunk(sink, iend.data(), "IEND", 0);
}

Result<std::vector<std::uint8_t>> encode_png(const RgbaPreview& preview) {
  BoundedPngBuffer buffer;
  if (auto ok = write_png(buffer, preview); !ok) return fail(std::move(ok.error()));
  return std::move(buffer).take();
}

}  // namespace vor::desktop
