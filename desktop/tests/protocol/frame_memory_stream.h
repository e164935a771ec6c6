// An in-memory asio stream for frame tests: reads come from a scripted byte
// string (at most `chunk` bytes per read, then end of file), writes go to
// `written` (optionally failing once `fail_after` bytes were accepted).
// Both the synchronous and the asynchronous stream concepts are served.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include <asio.hpp>

namespace vor::desktop::testing {

class MemoryStream {
 public:
  using executor_type = asio::io_context::executor_type;

  MemoryStream(asio::io_context& io, std::string input) : executor_(io.get_executor()), input_(std::move(input)) {}

  executor_type get_executor() { return executor_; }

  std::size_t chunk = static_cast<std::size_t>(-1);  // bytes per read_some
  std::optional<std::size_t> fail_after;            // writes fail past this many bytes
  std::error_code read_error = asio::error::eof;    // what the end of input reports
  std::string written;

  std::size_t consumed() const { return position_; }

  template <class MutableBuffers>
  std::size_t read_some(const MutableBuffers& buffers, std::error_code& ec) {
    ec = {};
    if (asio::buffer_size(buffers) == 0) return 0;
    if (position_ == input_.size()) {
      ec = read_error;
      return 0;
    }
    const std::size_t n = std::min({chunk, input_.size() - position_, asio::buffer_size(buffers)});
    asio::buffer_copy(buffers, asio::buffer(input_.data() + position_, n));
    position_ += n;
    return n;
  }

  template <class ConstBuffers>
  std::size_t write_some(const ConstBuffers& buffers, std::error_code& ec) {
    ec = {};
    std::size_t n = asio::buffer_size(buffers);
    if (fail_after) {
      if (written.size() >= *fail_after) {
        ec = asio::error::broken_pipe;
        return 0;
      }
      n = std::min(n, *fail_after - written.size());
    }
    const std::size_t start = written.size();
    written.resize(start + n);
    asio::buffer_copy(asio::buffer(written.data() + start, n), buffers);
    return n;
  }

  template <class MutableBuffers>
  std::size_t read_some(const MutableBuffers& buffers) {
    std::error_code ec;
    const std::size_t n = read_some(buffers, ec);
    if (ec) throw std::system_error(ec);
    return n;
  }

  template <class ConstBuffers>
  std::size_t write_some(const ConstBuffers& buffers) {
    std::error_code ec;
    const std::size_t n = write_some(buffers, ec);
    if (ec) throw std::system_error(ec);
    return n;
  }

  template <class MutableBuffers, class Handler>
  void async_read_some(const MutableBuffers& buffers, Handler&& handler) {
    std::error_code ec;
    const std::size_t n = read_some(buffers, ec);
    asio::post(executor_, [h = std::forward<Handler>(handler), ec, n]() mutable { h(ec, n); });
  }

  template <class ConstBuffers, class Handler>
  void async_write_some(const ConstBuffers& buffers, Handler&& handler) {
    std::error_code ec;
    const std::size_t n = write_some(buffers, ec);
    asio::post(executor_, [h = std::forward<Handler>(handler), ec, n]() mutable { h(ec, n); });
  }

 private:
  executor_type executor_;
  std::string input_;
  std::size_t position_ = 0;
};

}  // namespace vor::desktop::testing
