#include "capture_dxgi/png_deflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "png_chunks.h"

namespace vor::desktop {
namespace {

using Bytes = std::vector<std::uint8_t>;

class CollectingSink final : public ByteSink {
 public:
  Status write_all(std::span<const std::uint8_t> bytes) override {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    ++writes_;
    return {};
  }
  Bytes bytes_;
  std::size_t writes_ = 0;
};

Bytes random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& v : b) v = static_cast<std::uint8_t>(rng());
  return b;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Byte k occurs fib(k) times, in random order: a code built from these
// frequencies alone would need far more than 15 bits for the rare bytes.
Bytes fibonacci_bytes() {
  Bytes b;
  std::uint32_t f0 = 1, f1 = 1;
  for (int k = 0; k < 27; ++k) {
    b.insert(b.end(), f0, static_cast<std::uint8_t>(k * 9));
    const std::uint32_t next = f0 + f1;
    f0 = f1;
    f1 = next;
  }
  std::shuffle(b.begin(), b.end(), std::mt19937(5));
  return b;
}

// Words of a small vocabulary with random spaces: many matches of every
// length and distance, as in text rows.
Bytes words(std::size_t n) {
  const std::string vocabulary[] = {"window", "capture", "preview", "desktop", "pixel", "a", "of", "the", "row"};
  std::mt19937 rng(9);
  Bytes b;
  while (b.size() < n) {
    const std::string& w = vocabulary[rng() % std::size(vocabulary)];
    b.insert(b.end(), w.begin(), w.end());
    b.insert(b.end(), 1 + rng() % 3, ' ');
  }
  return b;
}

struct Case {
  const char* name;
  Bytes data;
};

TEST(ZlibCompress, ZlibInflatesEveryStreamToTheBytesItWasMadeFrom) {
  const Bytes far = random_bytes(32768, 21);
  const Bytes just_past = random_bytes(32768 + 1, 22);
  const Case cases[] = {
      {"empty", {}},
      {"one byte", {7}},
      {"three bytes, shorter than any match", {1, 1, 1}},
      {"a run of 0 long enough for many longest matches", Bytes(300000, 0)},
      {"a run of 255 (the largest Adler-32 sums)", Bytes(200000, 0xFF)},
      {"a repeat exactly one window back", concat({far, far, Bytes(far.begin(), far.begin() + 300)})},
      {"a repeat one byte further than the window", concat({just_past, Bytes(just_past.begin(), just_past.begin() + 5000)})},
      {"noise (stored blocks)", random_bytes(200000, 23)},
      {"noise, a run, noise (stored and coded blocks mixed)",
       concat({random_bytes(40000, 24), Bytes(90000, 3), random_bytes(40000, 25)})},
      {"skewed frequencies that need the length limit", fibonacci_bytes()},
      {"words", words(150000)},
  };
  for (const Case& c : cases) {
    CollectingSink sink;
    ASSERT_TRUE(zlib_compress(c.data, sink)) << c.name;
    const Bytes back = testing::inflate_all(sink.bytes_, c.data.size());
    EXPECT_TRUE(back == c.data) << c.name;
  }
}

TEST(ZlibStream, DataGivenInPiecesOfAnySizeInflatesToTheWhole) {
  // Longer than the compressor's buffer, so that it slides several times,
  // with stored and coded blocks on both sides of each slide.
  const Bytes data = concat({random_bytes(300000, 30), words(200000), Bytes(100000, 0), random_bytes(200000, 31),
                             words(100000)});
  for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{5121}, std::size_t{262144}}) {
    CollectingSink sink;
    ZlibStream stream(sink);
    for (std::size_t at = 0; at < data.size(); at += piece) {
      ASSERT_TRUE(stream.write({data.data() + at, std::min(piece, data.size() - at)})) << piece;
    }
    ASSERT_TRUE(stream.finish()) << piece;
    EXPECT_TRUE(testing::inflate_all(sink.bytes_, data.size()) == data) << "pieces of " << piece;
  }
}

TEST(ZlibCompress, RepetitiveDataShrinksAndNoiseGrowsOnlyByItsFraming) {
  CollectingSink run;
  ASSERT_TRUE(zlib_compress(Bytes(1 << 20, 0), run));
  EXPECT_LT(run.bytes_.size(), 2000u);
  CollectingSink text;
  ASSERT_TRUE(zlib_compress(words(150000), text));
  EXPECT_LT(text.bytes_.size(), 150000u / 3);
  const Bytes noise = random_bytes(200000, 26);
  CollectingSink stored;
  ASSERT_TRUE(zlib_compress(noise, stored));
  EXPECT_LE(stored.bytes_.size(), noise.size() + noise.size() / 1000 + 64);
}

TEST(ZlibCompress, StopsAtTheFirstRefusedWrite) {
  const Bytes data = concat({random_bytes(100000, 27), words(100000)});
  testing::ScriptedSink all(0);
  ASSERT_TRUE(zlib_compress(data, all));
  ASSERT_GE(all.writes, 4u);
  for (std::size_t n = 1; n <= all.writes; ++n) {
    testing::ScriptedSink sink(n);
    auto s = zlib_compress(data, sink);
    ASSERT_FALSE(s) << n;
    EXPECT_EQ(s.error().display_chain(), "scripted failure");
    EXPECT_EQ(sink.writes, n) << "no write after the refused one";
  }
}

std::vector<std::uint32_t> fibonacci(int n) {
  std::vector<std::uint32_t> f = {1, 1};
  while (static_cast<int>(f.size()) < n) f.push_back(f[f.size() - 1] + f[f.size() - 2]);
  f.resize(n);
  return f;
}

// Sum of 2^-length over the used symbols, scaled by 2^limit: exactly 2^limit
// for a complete code.
std::uint64_t kraft(const std::vector<std::uint8_t>& lengths, int limit) {
  std::uint64_t sum = 0;
  for (const std::uint8_t l : lengths) {
    if (l) sum += std::uint64_t{1} << (limit - l);
  }
  return sum;
}

TEST(HuffmanCodeLengths, StayWithinTheLimitAndFormACompleteCode) {
  struct Table {
    const char* name;
    std::vector<std::uint32_t> freq;
    int limit;
  };
  std::vector<std::uint32_t> sparse(286, 0);
  sparse[3] = 100;
  sparse[70] = 1;
  sparse[285] = 7;
  const Table tables[] = {
      {"fibonacci, 30 symbols, 15 bits", fibonacci(30), 15},
      {"fibonacci, 19 symbols, 7 bits", fibonacci(19), 7},
      {"uniform, 286 symbols", std::vector<std::uint32_t>(286, 5), 15},
      {"three used among unused", sparse, 15},
      {"two symbols", {0, 4, 9}, 15},
  };
  for (const Table& t : tables) {
    const auto lengths = huffman_code_lengths(t.freq, t.limit);
    ASSERT_EQ(lengths.size(), t.freq.size()) << t.name;
    for (std::size_t s = 0; s < lengths.size(); ++s) {
      EXPECT_LE(lengths[s], t.limit) << t.name << " symbol " << s;
      EXPECT_EQ(lengths[s] == 0, t.freq[s] == 0) << t.name << " symbol " << s;
      for (std::size_t r = 0; r < lengths.size(); ++r) {
        if (t.freq[s] > t.freq[r] && t.freq[r] > 0) {
          EXPECT_LE(lengths[s], lengths[r]) << t.name;
        }
      }
    }
    EXPECT_EQ(kraft(lengths, t.limit), std::uint64_t{1} << t.limit) << t.name;
  }
  EXPECT_EQ(huffman_code_lengths(std::vector<std::uint32_t>{0, 0, 3}, 15), (std::vector<std::uint8_t>{0, 0, 1}));
  EXPECT_EQ(huffman_code_lengths(std::vector<std::uint32_t>(5, 0), 15), std::vector<std::uint8_t>(5, 0));
  const auto unlimited = huffman_code_lengths(fibonacci(30), 15);
  EXPECT_EQ(*std::max_element(unlimited.begin(), unlimited.end()), 15) << "the limit was needed and reached";
}

TEST(Adler32Of, AgreesWithZlibAcrossTheVectorRunBoundaries) {
  const std::size_t lengths[] = {0, 1, 15, 16, 17, 255, 4095, 4096, 4097, 5552, 5553, 65536, 70001, 1 << 20};
  const Bytes noise = random_bytes(1 << 20, 28);
  const Bytes ones(1 << 20, 0xFF);
  for (const std::size_t n : lengths) {
    for (const Bytes* data : {&noise, &ones}) {
      const uLong expected = adler32(adler32(0L, Z_NULL, 0), data->data(), static_cast<uInt>(n));
      EXPECT_EQ(adler32_of({data->data(), n}), expected) << n;
      const std::size_t half = n / 3;
      EXPECT_EQ(adler32_of({data->data() + half, n - half}, adler32_of({data->data(), half})), expected)
          << n << " in two parts";
    }
  }
}

}  // namespace
}  // namespace vor::desktop
