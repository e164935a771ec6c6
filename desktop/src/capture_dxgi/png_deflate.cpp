#include "capture_dxgi/png_deflate.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

namespace vor::desktop {
namespace {

static_assert(std::endian::native == std::endian::little, "match lengths are counted on little-endian loads");

// zlib stream header: deflate with a 32 KiB window, no dictionary, the
// "fastest" level hint; the pair is a multiple of 31 as the format requires.
constexpr std::uint8_t kZlibMethod = 0x78;
constexpr std::uint8_t kZlibFlags = 0x01;
constexpr std::uint32_t kAdlerModulus = 65521;

constexpr std::size_t kWindowBytes = 32768;
constexpr std::size_t kMinMatch = 4;  // the hash covers 4 bytes; deflate's 3 are not worth it here
constexpr std::size_t kMaxMatch = 258;
constexpr std::size_t kPixelBytes = 4;  // RGBA
constexpr int kHashBits = 16;
constexpr std::uint32_t kNoPosition = 0xFFFFFFFFu;
constexpr int kChainProbes = 8;
constexpr std::size_t kGoodEnough = 64;
// After a match at most this long every position in it is hashed; longer
// ones (mostly runs of filtered zeros) hash only their last bytes.
constexpr std::size_t kInsertAllUpTo = 16;
constexpr std::size_t kInsertTail = 3;
// After 2^kSkipShift positions in a row without a match, every other position
// is searched, after twice as many every third, and so on.
constexpr int kSkipShift = 5;

// A block ends after this many symbols: about one Huffman code per few rows
// of text, so the code follows the image's content.
constexpr std::size_t kBlockSymbols = 16384;
constexpr std::size_t kStoredMaxBytes = 65535;
// Data kept for matching: the window and what follows it. A block that
// began before the window is ended when the buffer slides.
constexpr std::size_t kBufferBytes = 8 * kWindowBytes;

constexpr int kLiteralCodes = 256;
constexpr int kEndOfBlock = 256;
constexpr int kLengthCodes = 29;
constexpr int kLitLenCodes = kLiteralCodes + 1 + kLengthCodes;  // 286
constexpr int kDistCodes = 30;
constexpr int kCodeLengthCodes = 19;
constexpr int kMaxCodeBits = 15;
constexpr int kMaxCodeLengthBits = 7;

constexpr std::array<std::uint16_t, kLengthCodes> kLengthBase = {3,  4,  5,  6,  7,  8,  9,  10,  11,  13,
                                                                  15, 17, 19, 23, 27, 31, 35, 43,  51,  59,
                                                                  67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<std::uint8_t, kLengthCodes> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                                 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<std::uint16_t, kDistCodes> kDistBase = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<std::uint8_t, kDistCodes> kDistExtra = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// Order in which the code-length code's lengths are sent.
constexpr std::array<std::uint8_t, kCodeLengthCodes> kCodeLengthOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                                         11, 4,  12, 3, 13, 2, 14, 1, 15};

// Length code (0-based, 257 subtracted) of every match length 3 to 258.
constexpr auto kLengthCodeOf = [] {
  std::array<std::uint8_t, kMaxMatch + 1> t{};
  for (int c = 0; c < kLengthCodes; ++c) {
    const int end = c + 1 < kLengthCodes ? kLengthBase[c + 1] : kMaxMatch + 1;
    for (int l = kLengthBase[c]; l < end; ++l) t[l] = static_cast<std::uint8_t>(c);
  }
  return t;
}();

// Distance code of distance d: kDistCodeOf[d - 1] below 257, else
// kDistCodeOf[256 + ((d - 1) >> 7)] (the larger codes start at multiples of
// 128).
constexpr auto kDistCodeOf = [] {
  std::array<std::uint8_t, 512> t{};
  for (int c = 0; c < kDistCodes; ++c) {
    const int end = c + 1 < kDistCodes ? kDistBase[c + 1] : kWindowBytes + 1;
    for (int d = kDistBase[c]; d < end; ++d) {
      if (d <= 256) t[d - 1] = static_cast<std::uint8_t>(c);
      else t[256 + ((d - 1) >> 7)] = static_cast<std::uint8_t>(c);
    }
  }
  return t;
}();

int dist_code(std::uint32_t distance) {
  return distance <= 256 ? kDistCodeOf[distance - 1] : kDistCodeOf[256 + ((distance - 1) >> 7)];
}

std::uint32_t load32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Number of equal bytes at a and b, at most `limit`.
std::size_t common_length(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit) {
  std::size_t n = 0;
  while (n + 8 <= limit) {
    const std::uint64_t diff = load64(a + n) ^ load64(b + n);
    if (diff != 0) return n + static_cast<std::size_t>(std::countr_zero(diff)) / 8;
    n += 8;
  }
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

// Code lengths of a Huffman code for `freq` (n symbols) no longer than
// `limit` bits. The code is built from the frequencies; while it is too deep
// the frequencies are halved (each used symbol keeping at least 1) and it is
// built again, which flattens it. Unused symbols get length 0. The caller
// makes sure that at least two symbols are used, so that the code is
// complete, as inflaters require.
void huffman_lengths(const std::uint32_t* freq, int n, int limit, std::uint8_t* lengths) {
  std::array<std::uint32_t, kLitLenCodes> f{};
  std::copy(freq, freq + n, f.begin());
  std::array<std::uint16_t, kLitLenCodes> leaves{};
  std::array<std::uint64_t, 2 * kLitLenCodes> weight{};
  std::array<std::uint16_t, 2 * kLitLenCodes> parent{};
  std::array<std::uint8_t, 2 * kLitLenCodes> depth{};
  for (;;) {
    int m = 0;
    for (int s = 0; s < n; ++s) {
      if (f[s]) leaves[m++] = static_cast<std::uint16_t>(s);
    }
    std::fill(lengths, lengths + n, std::uint8_t{0});
    if (m == 0) return;
    if (m == 1) {
      lengths[leaves[0]] = 1;
      return;
    }
    std::sort(leaves.begin(), leaves.begin() + m, [&](std::uint16_t a, std::uint16_t b) {
      return f[a] != f[b] ? f[a] < f[b] : a < b;
    });
    for (int i = 0; i < m; ++i) weight[i] = f[leaves[i]];
    // Two queues: the sorted leaves, and the internal nodes, which are made
    // in order of weight. Node k's parent always has a larger index.
    int next_leaf = 0, next_inner = m, made = m;
    auto take = [&] {
      if (next_leaf < m && (next_inner >= made || weight[next_leaf] <= weight[next_inner])) return next_leaf++;
      return next_inner++;
    };
    while (made < 2 * m - 1) {
      const int a = take(), b = take();
      weight[made] = weight[a] + weight[b];
      parent[a] = parent[b] = static_cast<std::uint16_t>(made);
      ++made;
    }
    depth[2 * m - 2] = 0;
    int deepest = 0;
    for (int k = 2 * m - 3; k >= 0; --k) {
      depth[k] = static_cast<std::uint8_t>(depth[parent[k]] + 1);
      if (k < m) deepest = std::max<int>(deepest, depth[k]);
    }
    if (deepest <= limit) {
      for (int i = 0; i < m; ++i) lengths[leaves[i]] = depth[i];
      return;
    }
    for (int s = 0; s < n; ++s) f[s] = (f[s] + 1) / 2;
  }
}

// Canonical codes for `lengths`, bit-reversed because deflate sends codes
// from their most significant bit while the writer fills bytes from the least.
void canonical_codes(const std::uint8_t* lengths, int n, std::uint16_t* codes) {
  std::array<std::uint16_t, kMaxCodeBits + 1> count{}, next{};
  for (int s = 0; s < n; ++s) ++count[lengths[s]];
  count[0] = 0;
  std::uint16_t code = 0;
  for (int bits = 1; bits <= kMaxCodeBits; ++bits) {
    code = static_cast<std::uint16_t>((code + count[bits - 1]) << 1);
    next[bits] = code;
  }
  for (int s = 0; s < n; ++s) {
    const int len = lengths[s];
    if (len == 0) continue;
    std::uint32_t c = next[len]++, reversed = 0;
    for (int i = 0; i < len; ++i, c >>= 1) reversed = (reversed << 1) | (c & 1);
    codes[s] = static_cast<std::uint16_t>(reversed);
  }
}

// Gives a used symbol to a code that has fewer than two, so that it is complete.
void make_complete(std::uint32_t* freq, int n) {
  const int used = static_cast<int>(std::count_if(freq, freq + n, [](std::uint32_t f) { return f != 0; }));
  for (int s = 0, added = 0; s < n && used + added < 2; ++s) {
    if (freq[s] == 0) {
      freq[s] = 1;
      ++added;
    }
  }
}

// Collects bits from the least significant end and stores whole bytes.
class BitWriter {
 public:
  void reserve(std::size_t bytes) {
    if (bytes_.size() < used_ + bytes) bytes_.resize(used_ + bytes);
  }
  // bits: value < 2^count, count at most 32; reserve() must cover it.
  void put(std::uint32_t value, int count) {
    bits_ |= std::uint64_t{value} << pending_;
    pending_ += count;
    if (pending_ >= 32) {
      store(static_cast<std::uint32_t>(bits_), 4);
      bits_ >>= 32;
      pending_ -= 32;
    }
  }
  // Pads with zero bits up to the next byte boundary and stores it.
  void align() {
    while (pending_ > 0) {
      bytes_[used_++] = static_cast<std::uint8_t>(bits_);
      bits_ >>= 8;
      pending_ = std::max(0, pending_ - 8);
    }
    bits_ = 0;
  }
  void put_bytes(const std::uint8_t* p, std::size_t n) {  // after align()
    if (n == 0) return;  // p may be null then
    std::memcpy(bytes_.data() + used_, p, n);
    used_ += n;
  }
  // Hands the whole bytes stored so far to the sink (bits still pending stay).
  Status drain(ByteSink& sink) {
    if (used_ == 0) return {};
    auto ok = sink.write_all({bytes_.data(), used_});
    used_ = 0;
    return ok;
  }

 private:
  void store(std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) bytes_[used_++] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  std::vector<std::uint8_t> bytes_;
  std::size_t used_ = 0;
  std::uint64_t bits_ = 0;
  int pending_ = 0;
};

// A literal is its byte; a match is kMatchFlag | (length - 3) << 16 |
// (distance - 1).
constexpr std::uint32_t kMatchFlag = 0x80000000u;

}  // namespace

// The data waits in `buffer_` (absolute stream position p at buffer_[p -
// base_]) until enough follows it for a longest match, then becomes symbols;
// a block is written when it holds kBlockSymbols of them. When the buffer is
// full it slides, keeping the window behind the next position.
class ZlibStream::State {
 public:
  explicit State(ByteSink& sink)
      : sink_(sink), buffer_(kBufferBytes), head_(std::size_t{1} << kHashBits, kNoPosition), prev_(kWindowBytes, kNoPosition) {
    symbols_.reserve(kBlockSymbols + 2);
    writer_.reserve(2);
    writer_.put(kZlibMethod, 8);
    writer_.put(kZlibFlags, 8);
  }

  Status write(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
      if (filled_ - base_ == buffer_.size()) {
        if (auto ok = slide(); !ok) return ok;
      }
      const std::size_t n = std::min(bytes.size(), buffer_.size() - (filled_ - base_));
      std::memcpy(buffer_.data() + (filled_ - base_), bytes.data(), n);
      adler_ = adler32_of(bytes.first(n), adler_);
      filled_ += n;
      bytes = bytes.subspan(n);
      if (auto ok = compress(false); !ok) return ok;
    }
    return {};
  }

  Status finish() {
    if (auto ok = compress(true); !ok) return ok;
    writer_.reserve(8);
    writer_.align();
    const std::uint8_t trailer[4] = {static_cast<std::uint8_t>(adler_ >> 24), static_cast<std::uint8_t>(adler_ >> 16),
                                     static_cast<std::uint8_t>(adler_ >> 8), static_cast<std::uint8_t>(adler_)};
    writer_.put_bytes(trailer, 4);
    return writer_.drain(sink_);
  }

 private:
  struct Match {
    std::size_t length = 0;
    std::uint32_t distance = 0;
  };

  const std::uint8_t* at(std::size_t p) const { return buffer_.data() + (p - base_); }

  static std::uint32_t hash(std::uint32_t v) { return (v * 0x9E3779B1u) >> (32 - kHashBits); }

  // Keeps the window behind the next position (and nothing older), ending
  // the block first if it began before that, since a stored block needs its
  // bytes.
  Status slide() {
    const std::size_t keep = std::max(base_, pos_ > kWindowBytes ? pos_ - kWindowBytes : 0);
    if (block_start_ < keep) {
      if (auto ok = end_block(false); !ok) return ok;
    }
    std::memmove(buffer_.data(), at(keep), filled_ - keep);
    base_ = keep;
    return {};
  }

  // The longest match at pos among three candidates: one pixel back (runs
  // and repeated pixels), the distance of the last match (text and icons
  // repeat at the distance where they were found), and up to kChainProbes
  // earlier positions with the same hash, newest first. Equal lengths go to
  // the nearer candidate, whose distance code is cheaper. pos enters the
  // hash table. Needs kMinMatch bytes at pos.
  Match find(std::size_t pos) {
    const std::uint32_t here = load32(at(pos));
    const std::size_t limit = std::min(kMaxMatch, filled_ - pos);
    Match best;
    auto consider = [&](std::size_t distance) {
      if (distance == 0 || distance > pos || distance > kWindowBytes || distance == best.distance) return;
      const std::uint8_t* from = at(pos - distance);
      if (load32(from) != here) return;
      const std::size_t length = kMinMatch + common_length(at(pos) + kMinMatch, from + kMinMatch, limit - kMinMatch);
      if (length > best.length || (length == best.length && distance < best.distance)) {
        best = {length, static_cast<std::uint32_t>(distance)};
      }
    };
    consider(kPixelBytes);
    consider(last_distance_);
    std::uint32_t& slot = head_[hash(here)];
    std::uint32_t candidate = slot;
    prev_[pos % kWindowBytes] = candidate;
    slot = static_cast<std::uint32_t>(pos);
    for (int probes = 0; probes < kChainProbes && candidate != kNoPosition && best.length < kGoodEnough; ++probes) {
      if (pos - candidate > kWindowBytes) break;
      consider(pos - candidate);
      candidate = prev_[candidate % kWindowBytes];
    }
    return best;
  }

  void insert(std::size_t pos) {
    std::uint32_t& slot = head_[hash(load32(at(pos)))];
    prev_[pos % kWindowBytes] = slot;
    slot = static_cast<std::uint32_t>(pos);
  }

  void literal(std::uint8_t byte) {
    symbols_.push_back(byte);
    ++litlen_freq_[byte];
  }

  void match(const Match& m) {
    symbols_.push_back(kMatchFlag | static_cast<std::uint32_t>(m.length - 3) << 16 | (m.distance - 1));
    ++litlen_freq_[kLiteralCodes + 1 + kLengthCodeOf[m.length]];
    ++dist_freq_[dist_code(m.distance)];
    last_distance_ = m.distance;
  }

  // Turns the buffered data into symbols: all of it at the end of the
  // stream, else as far as a longest match still fits in what is buffered.
  // Full blocks are written on the way, and the last one at the end.
  Status compress(bool at_end) {
    const std::size_t end = at_end ? filled_ : (filled_ > kMaxMatch ? filled_ - kMaxMatch : 0);
    const std::size_t matchable_end = filled_ >= kMinMatch ? filled_ - kMinMatch + 1 : 0;
    while (pos_ < end) {
      if (symbols_.size() >= kBlockSymbols) {
        if (auto ok = end_block(false); !ok) return ok;
      }
      if (pos_ >= matchable_end) {
        literal(*at(pos_++));
        continue;
      }
      const Match m = find(pos_);
      if (m.length == 0) {
        // In noise (a photo, a video) the search goes on more and more
        // sparsely: the bytes stepped over are literals, unhashed.
        const std::size_t step = 1 + (misses_++ >> kSkipShift);
        for (std::size_t stop = std::min(pos_ + step, filled_); pos_ < stop;) literal(*at(pos_++));
        continue;
      }
      misses_ = 0;
      match(m);
      const std::size_t match_end = pos_ + m.length;
      std::size_t from = pos_ + 1;
      if (m.length > kInsertAllUpTo) from = std::max(from, match_end - kInsertTail);
      for (std::size_t i = from; i < match_end && i < matchable_end; ++i) insert(i);
      pos_ = match_end;
    }
    if (at_end) return end_block(true);
    return {};
  }

  // Writes the block of the data from block_start_ to pos_ and starts the next.
  Status end_block(bool final) {
    write_block(block_start_, pos_, final);
    block_start_ = pos_;
    symbols_.clear();
    litlen_freq_.fill(0);
    dist_freq_.fill(0);
    return writer_.drain(sink_);
  }

  // Writes the block holding data [start, end) and the symbols collected for it.
  void write_block(std::size_t start, std::size_t end, bool final) {
    ++litlen_freq_[kEndOfBlock];
    make_complete(litlen_freq_.data(), kLitLenCodes);
    make_complete(dist_freq_.data(), kDistCodes);
    std::array<std::uint8_t, kLitLenCodes> litlen_len{};
    std::array<std::uint8_t, kDistCodes> dist_len{};
    huffman_lengths(litlen_freq_.data(), kLitLenCodes, kMaxCodeBits, litlen_len.data());
    huffman_lengths(dist_freq_.data(), kDistCodes, kMaxCodeBits, dist_len.data());

    // The code lengths of both codes, run-length coded with the symbols 16
    // (repeat the previous length 3-6 times), 17 (3-10 zeros) and 18 (11-138
    // zeros).
    int hlit = kLitLenCodes, hdist = kDistCodes;
    while (hlit > 257 && litlen_len[hlit - 1] == 0) --hlit;
    while (hdist > 1 && dist_len[hdist - 1] == 0) --hdist;
    std::array<std::uint8_t, kLitLenCodes + kDistCodes> all{};
    std::copy(litlen_len.begin(), litlen_len.begin() + hlit, all.begin());
    std::copy(dist_len.begin(), dist_len.begin() + hdist, all.begin() + hlit);
    const int total = hlit + hdist;
    struct Run {
      std::uint8_t symbol, extra;
    };
    std::array<Run, kLitLenCodes + kDistCodes> runs{};
    int run_count = 0;
    std::array<std::uint32_t, kCodeLengthCodes> cl_freq{};
    for (int i = 0; i < total;) {
      const std::uint8_t len = all[i];
      int n = 1;
      while (i + n < total && all[i + n] == len) ++n;
      i += n;
      if (len == 0) {
        while (n >= 11) {
          const int k = std::min(n, 138);
          runs[run_count++] = {18, static_cast<std::uint8_t>(k - 11)};
          n -= k;
        }
        if (n >= 3) {
          runs[run_count++] = {17, static_cast<std::uint8_t>(n - 3)};
          n = 0;
        }
      } else {
        runs[run_count++] = {len, 0};
        --n;
        while (n >= 3) {
          const int k = std::min(n, 6);
          runs[run_count++] = {16, static_cast<std::uint8_t>(k - 3)};
          n -= k;
        }
      }
      for (; n > 0; --n) runs[run_count++] = {len, 0};
    }
    for (int r = 0; r < run_count; ++r) ++cl_freq[runs[r].symbol];
    make_complete(cl_freq.data(), kCodeLengthCodes);
    std::array<std::uint8_t, kCodeLengthCodes> cl_len{};
    huffman_lengths(cl_freq.data(), kCodeLengthCodes, kMaxCodeLengthBits, cl_len.data());
    int hclen = kCodeLengthCodes;
    while (hclen > 4 && cl_len[kCodeLengthOrder[hclen - 1]] == 0) --hclen;

    // Size of the block in each form, in bits.
    constexpr std::array<int, 3> kRunExtraBits = {2, 3, 7};
    std::uint64_t dynamic_bits = 3 + 5 + 5 + 4 + 3 * std::uint64_t(hclen);
    for (int r = 0; r < run_count; ++r) {
      const int s = runs[r].symbol;
      dynamic_bits += cl_len[s] + (s >= 16 ? kRunExtraBits[s - 16] : 0);
    }
    for (int s = 0; s < kLitLenCodes; ++s) {
      const int extra = s > kLiteralCodes ? kLengthExtra[s - kLiteralCodes - 1] : 0;
      dynamic_bits += std::uint64_t{litlen_freq_[s]} * (litlen_len[s] + extra);
    }
    for (int s = 0; s < kDistCodes; ++s) dynamic_bits += std::uint64_t{dist_freq_[s]} * (dist_len[s] + kDistExtra[s]);
    const std::size_t raw = end - start;
    const std::size_t stored_blocks = std::max<std::size_t>(1, (raw + kStoredMaxBytes - 1) / kStoredMaxBytes);
    const std::uint64_t stored_bits = stored_blocks * (3 + 7 + 32) + 8 * std::uint64_t{raw};

    if (stored_bits < dynamic_bits) {
      write_stored(start, end, final, stored_blocks);
      return;
    }

    writer_.reserve(static_cast<std::size_t>(dynamic_bits / 8) + 16);
    writer_.put(final ? 1 : 0, 1);
    writer_.put(2, 2);  // dynamic Huffman codes
    writer_.put(static_cast<std::uint32_t>(hlit - 257), 5);
    writer_.put(static_cast<std::uint32_t>(hdist - 1), 5);
    writer_.put(static_cast<std::uint32_t>(hclen - 4), 4);
    for (int i = 0; i < hclen; ++i) writer_.put(cl_len[kCodeLengthOrder[i]], 3);
    std::array<std::uint16_t, kCodeLengthCodes> cl_code{};
    canonical_codes(cl_len.data(), kCodeLengthCodes, cl_code.data());
    for (int r = 0; r < run_count; ++r) {
      const int s = runs[r].symbol;
      writer_.put(cl_code[s], cl_len[s]);
      if (s >= 16) writer_.put(runs[r].extra, kRunExtraBits[s - 16]);
    }

    std::array<std::uint16_t, kLitLenCodes> litlen_code{};
    std::array<std::uint16_t, kDistCodes> dist_code_bits{};
    canonical_codes(litlen_len.data(), kLitLenCodes, litlen_code.data());
    canonical_codes(dist_len.data(), kDistCodes, dist_code_bits.data());
    for (const std::uint32_t sym : symbols_) {
      if (!(sym & kMatchFlag)) {
        writer_.put(litlen_code[sym], litlen_len[sym]);
        continue;
      }
      const std::uint32_t length = ((sym >> 16) & 0xFF) + 3;
      const std::uint32_t distance = (sym & 0xFFFF) + 1;
      const int lc = kLengthCodeOf[length];
      const int ls = kLiteralCodes + 1 + lc;
      writer_.put(litlen_code[ls], litlen_len[ls]);
      writer_.put(length - kLengthBase[lc], kLengthExtra[lc]);
      const int dc = dist_code(distance);
      writer_.put(dist_code_bits[dc], dist_len[dc]);
      writer_.put(distance - kDistBase[dc], kDistExtra[dc]);
    }
    writer_.put(litlen_code[kEndOfBlock], litlen_len[kEndOfBlock]);
  }

  void write_stored(std::size_t start, std::size_t end, bool final, std::size_t blocks) {
    writer_.reserve(end - start + blocks * 5 + 8);
    for (std::size_t b = 0; b < blocks; ++b) {
      const std::size_t from = start + b * kStoredMaxBytes;
      const std::size_t n = std::min(kStoredMaxBytes, end - from);
      writer_.put(final && b + 1 == blocks ? 1 : 0, 1);
      writer_.put(0, 2);  // stored
      writer_.align();
      const std::uint8_t header[4] = {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                                      static_cast<std::uint8_t>(~n), static_cast<std::uint8_t>(~n >> 8)};
      writer_.put_bytes(header, 4);
      writer_.put_bytes(at(from), n);
    }
  }

  ByteSink& sink_;
  BitWriter writer_;
  std::vector<std::uint8_t> buffer_;
  std::size_t base_ = 0;         // stream position of buffer_[0]
  std::size_t filled_ = 0;       // stream position after the last byte given
  std::size_t pos_ = 0;          // next position to become a symbol
  std::size_t block_start_ = 0;  // first position of the block being collected
  std::uint32_t adler_ = 1;
  std::vector<std::uint32_t> head_;  // hash of 4 bytes -> last position
  std::vector<std::uint32_t> prev_;  // position -> the one before it with the same hash
  std::uint32_t last_distance_ = 0;
  std::size_t misses_ = 0;  // positions in a row without a match
  std::vector<std::uint32_t> symbols_;
  std::array<std::uint32_t, kLitLenCodes> litlen_freq_{};
  std::array<std::uint32_t, kDistCodes> dist_freq_{};
};

std::uint32_t adler32_of(std::span<const std::uint8_t> data, std::uint32_t adler) {
  // a is 1 plus the sum of the bytes, b the sum of a after each byte, both
  // modulo 65521. Runs of 16-byte groups are summed in vectors: `column`
  // holds each byte position's sum over the run so far (two positions per
  // 16-bit counter), `before` the sum over the groups of all bytes before
  // each group. Then b grows by 16 times `before` plus each column sum
  // weighted by its distance from the group's end.
  using Bytes = std::uint8_t __attribute__((vector_size(16)));
  using Pairs = std::uint16_t __attribute__((vector_size(16)));
  using Quads = std::uint32_t __attribute__((vector_size(16)));
  constexpr std::size_t kGroup = 16;
  constexpr std::size_t kGroupsPerRun = 256;  // keeps every 16-bit counter below 65536
  std::uint64_t a = adler & 0xFFFF, b = adler >> 16;
  const std::uint8_t* p = data.data();
  std::size_t left = data.size();
  while (left >= kGroup) {
    const std::size_t groups = std::min(left / kGroup, kGroupsPerRun);
    Pairs even{}, odd{};
    Quads before{};
    for (std::size_t g = 0; g < groups; ++g, p += kGroup) {
      Quads e, o;
      std::memcpy(&e, &even, sizeof e);
      std::memcpy(&o, &odd, sizeof o);
      before += (e & 0xFFFF) + (e >> 16) + (o & 0xFFFF) + (o >> 16);
      Pairs pairs;
      Bytes bytes;
      std::memcpy(&bytes, p, sizeof bytes);
      std::memcpy(&pairs, &bytes, sizeof pairs);
      even += pairs & 0xFF;
      odd += pairs >> 8;
    }
    left -= groups * kGroup;
    std::uint64_t sum = 0, weighted = 0, prior = 0;
    for (std::size_t i = 0; i < kGroup / 2; ++i) {
      sum += std::uint64_t{even[i]} + odd[i];
      weighted += std::uint64_t{even[i]} * (kGroup - 2 * i) + std::uint64_t{odd[i]} * (kGroup - 2 * i - 1);
    }
    for (std::size_t i = 0; i < kGroup / 4; ++i) prior += before[i];
    b = (b + a * kGroup * groups + kGroup * prior + weighted) % kAdlerModulus;
    a = (a + sum) % kAdlerModulus;
  }
  for (; left > 0; --left) {
    a += *p++;
    b += a;
  }
  return static_cast<std::uint32_t>((b % kAdlerModulus) << 16 | (a % kAdlerModulus));
}

ZlibStream::ZlibStream(ByteSink& sink) : state_(std::make_unique<State>(sink)) {}
ZlibStream::~ZlibStream() = default;
Status ZlibStream::write(std::span<const std::uint8_t> bytes) { return state_->write(bytes); }
Status ZlibStream::finish() { return state_->finish(); }

Status zlib_compress(std::span<const std::uint8_t> data, ByteSink& sink) {
  ZlibStream stream(sink);
  if (auto ok = stream.write(data); !ok) return ok;
  return stream.finish();
}

std::vector<std::uint8_t> huffman_code_lengths(std::span<const std::uint32_t> frequencies, int limit) {
  if (frequencies.size() > kLitLenCodes) return {};
  std::vector<std::uint8_t> lengths(frequencies.size());
  huffman_lengths(frequencies.data(), static_cast<int>(frequencies.size()), limit, lengths.data());
  return lengths;
}

}  // namespace vor::desktop
