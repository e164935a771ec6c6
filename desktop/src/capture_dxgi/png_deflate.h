// The compressor of the PNG encoder (png.h): a whole buffer of filtered rows
// becomes one zlib stream (a deflate stream with its header and Adler-32),
// written to a byte sink block by block so that a sink that refuses stops it
// early. Tuned for screen images: greedy matching that tries one pixel back,
// the last match's distance and a short hash chain of 4-byte sequences, a
// sparser search through noise, and a dynamic Huffman code per block (a
// stored block where that is smaller, as for noise).
//
//   if (auto ok = zlib_compress(filtered, sink); !ok) return ok;
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "capture_dxgi/png.h"

namespace vor::desktop {

// Writes the zlib stream of `data` to `sink` and stops at the first failed
// write, returning its error unchanged. Every write holds at most one block.
Status zlib_compress(std::span<const std::uint8_t> data, ByteSink& sink);

// The Adler-32 checksum of `data` that a zlib stream ends with.
std::uint32_t adler32_of(std::span<const std::uint8_t> data);

// Code lengths of a Huffman code for `frequencies` (at most 286 symbols), none
// longer than `limit` bits; 0 for an unused symbol, 1 for a lone used one.
std::vector<std::uint8_t> huffman_code_lengths(std::span<const std::uint32_t> frequencies, int limit);

}  // namespace vor::desktop
