#include "common/atomic_write.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vor {
namespace {

// Records every step (and the close of the temporary) in order; `failing`
// names the one step that fails.
class RecordingSteps final : public AtomicWriteSteps {
 public:
  std::string failing;
  std::vector<std::string> events;
  std::vector<std::uint8_t> written;

  class File final : public AtomicWriteFile {
   public:
    explicit File(RecordingSteps& owner) : owner_(owner) {}
    ~File() override { owner_.events.push_back("close"); }
    Status write_all(std::span<const std::uint8_t> bytes) override {
      owner_.events.push_back("write");
      if (owner_.failing == "write") return fail(Error::os(112));
      owner_.written.assign(bytes.begin(), bytes.end());
      return {};
    }
    Status flush() override {
      owner_.events.push_back("flush");
      if (owner_.failing == "flush") return fail(Error::os(1117));
      return {};
    }

   private:
    RecordingSteps& owner_;
  };

  Result<std::unique_ptr<AtomicWriteFile>> create_temporary() override {
    events.push_back("create");
    if (failing == "create") return fail(Error::os(80));
    return std::unique_ptr<AtomicWriteFile>(new File(*this));
  }
  Status move_to_target() override {
    events.push_back("move");
    if (failing == "move") return fail(Error::os(183));
    return {};
  }
  void remove_temporary() override { events.push_back("remove"); }
};

using Events = std::vector<std::string>;

TEST(WriteViaTemporary, OrderAndCleanUpOfEveryOutcome) {
  struct Case {
    const char* name;
    const char* failing;
    AtomicWriteOptions options;
    Events events;
    std::optional<std::uint32_t> error;  // nullopt: success
  };
  const AtomicWriteOptions closed{};
  const AtomicWriteOptions open{.move_while_open = true};
  const AtomicWriteOptions keep{.keep_failed_temporary = true};
  const Case cases[] = {
      {"closed before the move", "", closed, {"create", "write", "flush", "close", "move"}, std::nullopt},
      {"moved while open", "", open, {"create", "write", "flush", "move", "close"}, std::nullopt},
      {"nothing to clean after a failed create", "create", closed, {"create"}, 80},
      {"a failed write deletes the temporary", "write", open, {"create", "write", "close", "remove"}, 112},
      {"a failed flush deletes the temporary", "flush", closed, {"create", "write", "flush", "close", "remove"},
       1117},
      {"a failed write may leave the temporary", "write", keep, {"create", "write", "close"}, 112},
      {"a failed flush may leave the temporary", "flush", keep, {"create", "write", "flush", "close"}, 1117},
      {"a failed move always deletes it", "move", keep, {"create", "write", "flush", "close", "move", "remove"}, 183},
      {"a failed move while open closes first", "move", open,
       {"create", "write", "flush", "move", "close", "remove"}, 183},
  };
  const std::vector<std::uint8_t> bytes{1, 2, 3};
  for (const Case& c : cases) {
    RecordingSteps steps;
    steps.failing = c.failing;
    const Status s = write_via_temporary(steps, bytes, c.options);
    EXPECT_EQ(steps.events, c.events) << c.name;
    if (c.error) {
      ASSERT_FALSE(s) << c.name;
      EXPECT_EQ(s.error().os_error(), c.error) << c.name;
    } else {
      EXPECT_TRUE(s) << c.name;
      EXPECT_EQ(steps.written, bytes) << c.name;
    }
  }
}

TEST(WriteViaTemporary, AFillWritesInPiecesAndItsFailureDeletesTheTemporary) {
  RecordingSteps steps;
  const std::vector<std::uint8_t> first{1, 2}, second{3};
  std::vector<std::uint8_t> all;
  ASSERT_TRUE(write_via_temporary(
      steps,
      [&](AtomicWriteFile& file) -> Status {
        VOR_RETURN_IF_ERROR(file.write_all(first));
        all.insert(all.end(), steps.written.begin(), steps.written.end());
        VOR_RETURN_IF_ERROR(file.write_all(second));
        all.insert(all.end(), steps.written.begin(), steps.written.end());
        return {};
      },
      {}));
  EXPECT_EQ(all, (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(steps.events, (Events{"create", "write", "write", "flush", "close", "move"}));

  // A source that cannot be read fails the write: nothing is moved, and the
  // temporary goes.
  RecordingSteps failing;
  const Status s = write_via_temporary(failing, [](AtomicWriteFile&) -> Status { return fail(Error::os(23)); }, {});
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().os_error(), 23u);
  EXPECT_EQ(failing.events, (Events{"create", "close", "remove"}));
}

}  // namespace
}  // namespace vor
