// The one fake frame pipe of the tests: each read returns the next scripted
// result, each write is recorded; the frame size rules hold as on a real pipe.
//
//   FakeFramePipe pipe;
//   pipe.reads.push_back(std::string(ack_json));
//   run_worker_exchange(pipe, ...);
//   EXPECT_EQ(pipe.written.size(), 2u);
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/worker_mode_pipe.h"
#include "support/fake_clock.h"

namespace vor::desktop::testing {

class FakeFramePipe final : public FramePipe {
 public:
  std::deque<Result<std::string>> reads;  // what each read returns, in order
  std::vector<std::string> written;       // bodies written
  std::optional<Error> write_error;       // every write fails with this
  int reads_done = 0;
  // When set, each read takes `read_cost` of this clock's time.
  FakeClock* clock = nullptr;
  std::chrono::milliseconds read_cost{0};
  std::vector<std::chrono::milliseconds> write_limits;  // the limit of each write

  Result<std::string> read_frame(std::uint32_t max_bytes, std::chrono::milliseconds) override {
    ++reads_done;
    if (clock != nullptr) clock->advance(read_cost);
    if (reads.empty()) return fail(Error::io("early eof"));
    Result<std::string> next = std::move(reads.front());
    reads.pop_front();
    if (next && (next->empty() || next->size() > max_bytes)) return fail("DESKTOP_FRAME_SIZE_INVALID");
    return next;
  }
  Status write_frame(std::string_view body, std::uint32_t max_bytes, std::chrono::milliseconds limit) override {
    write_limits.push_back(limit);
    if (body.empty() || body.size() > max_bytes) return fail("DESKTOP_FRAME_SIZE_INVALID");
    if (write_error) return fail(*write_error);
    written.emplace_back(body);
    return {};
  }
};

}  // namespace vor::desktop::testing
