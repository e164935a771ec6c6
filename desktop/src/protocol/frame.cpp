#include "protocol/frame.h"

namespace vor::desktop {

Result<FrameHeader> frame_header(std::size_t size, std::uint32_t max_bytes) {
  if (size == 0 || size > max_bytes) return fail(coded(kFrameSizeInvalid));
  const auto n = static_cast<std::uint32_t>(size);
  return FrameHeader{static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8),
                     static_cast<unsigned char>(n >> 16), static_cast<unsigned char>(n >> 24)};
}

Result<std::uint32_t> frame_length(const FrameHeader& header, std::uint32_t max_bytes) {
  const std::uint32_t n = std::uint32_t{header[0]} | (std::uint32_t{header[1]} << 8) |
                          (std::uint32_t{header[2]} << 16) | (std::uint32_t{header[3]} << 24);
  if (n == 0 || n > max_bytes) return fail(coded(kFrameSizeInvalid));
  return n;
}

Error frame_stream_error(const std::error_code& ec, FrameDirection direction) {
  // A named pipe whose other end closed reports a broken pipe on read where
  // other streams report the end of file; both mean the frame was cut off.
  if (ec == asio::error::eof) return Error::io("early eof");
  if (direction == FrameDirection::kRead && ec == asio::error::broken_pipe) return Error::io("early eof");
  if (ec.category() == asio::system_category()) {
    return Error::os(static_cast<std::uint32_t>(ec.value()), ec.message());
  }
  return Error::io(ec.message());
}

Result<std::string> frame_bytes(std::string_view body, std::uint32_t max_bytes) {
  VOR_ASSIGN_OR_RETURN(auto header, frame_header(body.size(), max_bytes));
  std::string frame;
  frame.reserve(kFrameHeaderBytes + body.size());
  frame.append(reinterpret_cast<const char*>(header.data()), header.size());
  frame.append(body);
  return frame;
}

}  // namespace vor::desktop
