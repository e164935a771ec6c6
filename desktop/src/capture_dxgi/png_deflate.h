// The compressor of the PNG encoder (png.h): the filtered rows become one
// zlib stream (a deflate stream with its header and Adler-32), written to a
// byte sink block by block, so that a sink that refuses stops it early. It
// holds a bounded buffer (the 32 KiB window and what follows), never the
// whole image. Tuned for screen images: greedy matching that tries one pixel
// back, the last match's distance and a short hash chain of 4-byte
// sequences, a sparser search through noise, and a dynamic Huffman code per
// block (a stored block where that is smaller, as for noise).
//
//   ZlibStream z(sink);
//   for (each filtered row) if (auto ok = z.write(row); !ok) return ok;
//   if (auto ok = z.finish(); !ok) return ok;
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "capture_dxgi/png.h"

namespace vor::desktop {

// One zlib stream written to a sink, of less than 4 GiB in all (positions are
// remembered in 32 bits; a PNG preview is at most 64 MiB). The first failed
// write of the sink is returned unchanged by the call that made it; the
// stream is unusable after that. Every write to the sink holds at most one
// block.
class ZlibStream {
 public:
  explicit ZlibStream(ByteSink& sink);
  ZlibStream(const ZlibStream&) = delete;
  ZlibStream& operator=(const ZlibStream&) = delete;
  ~ZlibStream();

  // Adds bytes to the stream; what can be compressed already is written.
  Status write(std::span<const std::uint8_t> bytes);
  // Compresses the rest and writes the end of the stream.
  Status finish();

 private:
  class State;
  std::unique_ptr<State> state_;
};

// The whole zlib stream of `data`, written to `sink`.
Status zlib_compress(std::span<const std::uint8_t> data, ByteSink& sink);

// The Adler-32 checksum that a zlib stream ends with: of `data`, or of the
// bytes before it and then `data` when `adler` is their checksum.
std::uint32_t adler32_of(std::span<const std::uint8_t> data, std::uint32_t adler = 1);

// Code lengths of a Huffman code for `frequencies` (at most 286 symbols), none
// longer than `limit` bits; 0 for an unused symbol, 1 for a lone used one.
std::vector<std::uint8_t> huffman_code_lengths(std::span<const std::uint32_t> frequencies, int limit);

}  // namespace vor::desktop
