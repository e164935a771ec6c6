// A scripted desktop duplication behind `DuplicationSys`, for tests.
//
// Adapters and outputs are listed per case; each AcquireNextFrame answer is
// the next scripted frame (an empty script times out after the whole wait);
// the frame's surface is painted by a function of the pixel; the staging
// copy and map work on memory. Every object the fake hands out counts itself
// while alive, and frames, maps and copies are recorded, so a test shows
// that everything is released on every path.
//
//   FakeDuplication dup(clock);
//   dup.adapters = {{.outputs = {{.desc = {{0, 0, 1920, 1080}, true, 1}}}}};
//   dup.frames.push_back({.info = {100, 0, 1}});
//   auto png = capture_screen_dxgi(dup, clock, {10, 10, 110, 60});
#pragma once

#include <array>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "capture_dxgi/duplication_ports.h"
#include "support/fake_desktop.h"

namespace vor::desktop::testing {

inline constexpr std::int32_t kFakeENotImpl = static_cast<std::int32_t>(0x80004001u);
inline constexpr std::int32_t kFakeEFail = static_cast<std::int32_t>(0x80004005u);

struct ScriptedOutput {
  OutputDesc desc{Rect{0, 0, 1920, 1080}, true, kDxgiModeRotationIdentity};
  std::optional<std::int32_t> desc_error;
  std::optional<std::int32_t> duplicate_error;
  bool duplicate_null = false;
};

struct ScriptedAdapter {
  std::vector<ScriptedOutput> outputs;
  // The answer after the listed outputs (DXGI_ERROR_NOT_FOUND unless set).
  std::optional<std::int32_t> outputs_end_error;
  std::optional<std::int32_t> device_error;
  bool no_context = false;
};

using Bgra = std::array<std::uint8_t, 4>;

struct FakeFrame {
  std::optional<std::int32_t> error;  // AcquireNextFrame fails with this
  std::chrono::nanoseconds takes = std::chrono::milliseconds(1);  // clock time the call takes
  FrameInfo info{100, 7, 1, false, 0};
  TextureDesc surface{1920, 1080, 1, 1, kDxgiFormatB8G8R8A8Unorm, 1, 0, 0, 0x28, 0, 0};
  // Colour of a surface pixel in desktop coordinates of the output's origin.
  std::function<Bgra(std::uint32_t x, std::uint32_t y)> paint = [](std::uint32_t, std::uint32_t) {
    return Bgra{30, 20, 10, 255};
  };
  std::optional<std::int32_t> query_error;
  bool null_texture = false;
  bool null_resource = false;
};

class FakeDuplication final : public DuplicationSys {
 public:
  explicit FakeDuplication(FakeClock& clock) : clock_(clock) {}

  // --- the script ---
  std::optional<std::int32_t> factory_error;
  bool factory_null = false;
  std::vector<ScriptedAdapter> adapters{ScriptedAdapter{{ScriptedOutput{}}}};
  std::optional<std::int32_t> adapters_end_error;
  std::deque<FakeFrame> frames;
  std::optional<std::int32_t> staging_error;
  bool staging_null = false;
  std::deque<std::int32_t> map_errors;   // answers before a map succeeds
  std::chrono::milliseconds map_takes{0};
  std::uint32_t row_padding = 0;          // bytes added to each mapped row
  std::optional<std::uint32_t> row_pitch; // a mapped pitch that lies
  bool map_null = false;

  // --- what happened ---
  int live = 0;  // objects handed out and not yet destroyed
  int acquired = 0;
  int released = 0;
  int maps = 0;
  int unmaps = 0;
  std::vector<std::string> calls;
  std::vector<std::uint32_t> waits;
  std::vector<CopyBox> copies;
  std::vector<TextureDesc> staging_descs;

  bool all_released() const { return live == 0 && acquired == released && maps == unmaps; }

  Hresult<std::unique_ptr<DxgiFactory>> create_factory() override;

 private:
  FakeClock& clock_;

  class Counted {
   public:
    explicit Counted(FakeDuplication& owner) : owner_(owner) { ++owner_.live; }
    virtual ~Counted() { --owner_.live; }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;

   protected:
    FakeDuplication& owner_;
  };

  class Texture final : public Texture2D, Counted {
   public:
    Texture(FakeDuplication& owner, TextureDesc desc, std::function<Bgra(std::uint32_t, std::uint32_t)> paint)
        : Counted(owner), desc_(desc), paint_(std::move(paint)) {}
    TextureDesc desc() override { return desc_; }
    TextureDesc desc_;
    std::function<Bgra(std::uint32_t, std::uint32_t)> paint_;  // surfaces only
    std::vector<std::uint8_t> memory;                          // staging only
    std::uint32_t pitch = 0;
  };

  class Resource final : public FrameResource, Counted {
   public:
    Resource(FakeDuplication& owner, FakeFrame frame) : Counted(owner), frame_(std::move(frame)) {}
    Hresult<std::unique_ptr<Texture2D>> query_texture() override {
      owner_.calls.push_back("query_texture");
      if (frame_.query_error) return std::unexpected(*frame_.query_error);
      if (frame_.null_texture) return std::unique_ptr<Texture2D>();
      return std::unique_ptr<Texture2D>(new Texture(owner_, frame_.surface, frame_.paint));
    }

   private:
    FakeFrame frame_;
  };

  class Duplication final : public OutputDuplication, Counted {
   public:
    using Counted::Counted;
    Hresult<AcquiredFrame> acquire_next_frame(std::uint32_t timeout_ms) override {
      owner_.calls.push_back("acquire_next_frame");
      owner_.waits.push_back(timeout_ms);
      if (owner_.frames.empty()) {
        owner_.clock_.advance(std::chrono::milliseconds(timeout_ms));
        return std::unexpected(kDxgiErrorWaitTimeout);
      }
      FakeFrame frame = std::move(owner_.frames.front());
      owner_.frames.pop_front();
      owner_.clock_.advance(frame.takes);
      if (frame.error) return std::unexpected(*frame.error);
      ++owner_.acquired;
      AcquiredFrame out;
      out.info = frame.info;
      if (!frame.null_resource) out.resource.reset(new Resource(owner_, std::move(frame)));
      return out;
    }
    std::int32_t release_frame() override {
      owner_.calls.push_back("release_frame");
      ++owner_.released;
      return 0;
    }
  };

  class Device final : public D3dDevice, Counted {
   public:
    using Counted::Counted;
    Hresult<std::unique_ptr<Texture2D>> create_texture_2d(const TextureDesc& desc) override {
      owner_.calls.push_back("create_texture_2d");
      owner_.staging_descs.push_back(desc);
      if (owner_.staging_error) return std::unexpected(*owner_.staging_error);
      if (owner_.staging_null) return std::unique_ptr<Texture2D>();
      return std::unique_ptr<Texture2D>(new Texture(owner_, desc, {}));
    }
  };

  class Context final : public D3dContext, Counted {
   public:
    using Counted::Counted;
    void copy_subresource_region(Texture2D& destination, std::uint32_t x, std::uint32_t y, std::uint32_t,
                                 Texture2D& source, const CopyBox& box) override {
      owner_.calls.push_back("copy_subresource_region");
      owner_.copies.push_back(box);
      auto& dst = static_cast<Texture&>(destination);
      auto& src = static_cast<Texture&>(source);
      dst.pitch = dst.desc_.width * 4 + owner_.row_padding;
      dst.memory.assign(std::size_t{dst.pitch} * dst.desc_.height, 0);
      for (std::uint32_t row = box.top; row < box.bottom; ++row) {
        for (std::uint32_t col = box.left; col < box.right; ++col) {
          const Bgra p = src.paint_(col, row);
          std::uint8_t* out = dst.memory.data() + std::size_t{row - box.top + y} * dst.pitch + (col - box.left + x) * 4;
          std::copy(p.begin(), p.end(), out);
        }
      }
    }
    Hresult<MappedTexture> map_read(Texture2D& texture, std::uint32_t flags) override {
      owner_.calls.push_back("map_read");
      owner_.clock_.advance(owner_.map_takes);
      if (flags != kD3d11MapFlagDoNotWait) return std::unexpected(kFakeEFail);
      if (!owner_.map_errors.empty()) {
        const std::int32_t error = owner_.map_errors.front();
        owner_.map_errors.pop_front();
        return std::unexpected(error);
      }
      ++owner_.maps;
      auto& t = static_cast<Texture&>(texture);
      MappedTexture m;
      m.data = owner_.map_null ? nullptr : t.memory.data();
      m.row_pitch = owner_.row_pitch.value_or(t.pitch);
      return m;
    }
    void unmap(Texture2D&) override {
      owner_.calls.push_back("unmap");
      ++owner_.unmaps;
    }
  };

  class Output final : public DxgiOutput, Counted {
   public:
    Output(FakeDuplication& owner, ScriptedOutput script) : Counted(owner), script_(script) {}
    Hresult<OutputDesc> desc() override {
      if (script_.desc_error) return std::unexpected(*script_.desc_error);
      return script_.desc;
    }
    Hresult<std::unique_ptr<OutputDuplication>> duplicate(D3dDevice&) override {
      owner_.calls.push_back("duplicate");
      if (script_.duplicate_error) return std::unexpected(*script_.duplicate_error);
      if (script_.duplicate_null) return std::unique_ptr<OutputDuplication>();
      return std::unique_ptr<OutputDuplication>(new Duplication(owner_));
    }

   private:
    ScriptedOutput script_;
  };

  class Adapter final : public DxgiAdapter, Counted {
   public:
    Adapter(FakeDuplication& owner, std::uint32_t index) : Counted(owner), index_(index) {}
    Hresult<std::unique_ptr<DxgiOutput>> enum_output(std::uint32_t o) override {
      owner_.calls.push_back("enum_output " + std::to_string(index_) + "." + std::to_string(o));
      const ScriptedAdapter& script = owner_.adapters[index_];
      if (o >= script.outputs.size()) return std::unexpected(script.outputs_end_error.value_or(kDxgiErrorNotFound));
      return std::unique_ptr<DxgiOutput>(new Output(owner_, script.outputs[o]));
    }
    Hresult<CreatedDevice> create_device() override {
      owner_.calls.push_back("create_device " + std::to_string(index_));
      const ScriptedAdapter& script = owner_.adapters[index_];
      if (script.device_error) return std::unexpected(*script.device_error);
      CreatedDevice d;
      d.device.reset(new Device(owner_));
      if (!script.no_context) d.context.reset(new Context(owner_));
      return d;
    }

   private:
    std::uint32_t index_;
  };

  class Factory final : public DxgiFactory, Counted {
   public:
    using Counted::Counted;
    Hresult<std::unique_ptr<DxgiAdapter>> enum_adapter(std::uint32_t a) override {
      owner_.calls.push_back("enum_adapter " + std::to_string(a));
      if (a >= owner_.adapters.size()) return std::unexpected(owner_.adapters_end_error.value_or(kDxgiErrorNotFound));
      return std::unique_ptr<DxgiAdapter>(new Adapter(owner_, a));
    }
  };
};

inline Hresult<std::unique_ptr<DxgiFactory>> FakeDuplication::create_factory() {
  calls.push_back("create_factory");
  if (factory_error) return std::unexpected(*factory_error);
  if (factory_null) return std::unique_ptr<DxgiFactory>();
  return std::unique_ptr<DxgiFactory>(new Factory(*this));
}

}  // namespace vor::desktop::testing
