#include "fake_window_capture.h"

namespace vor::desktop::testing {
namespace {

class Output final : public DisplayOutput {
 public:
  explicit Output(FakeOutput script) : script_(std::move(script)) {}
  Hr<OutputDescription> description() override {
    if (script_.description_error) return hr_error(*script_.description_error);
    return script_.description;
  }
  Hr<bool> open_color_interface() override { return script_.color_interface; }
  Hr<std::int32_t> color_space() override { return script_.color_space; }

 private:
  FakeOutput script_;
};

class Adapter final : public DisplayAdapter {
 public:
  explicit Adapter(FakeAdapter script) : script_(std::move(script)) {}
  Hr<std::unique_ptr<DisplayOutput>> output(std::uint32_t index) override {
    if (index >= script_.outputs.size()) return hr_error(static_cast<HResult>(0x887A0002));
    const FakeOutput& o = script_.outputs[index];
    if (o.enum_error) return hr_error(*o.enum_error);
    return std::make_unique<Output>(o);
  }

 private:
  FakeAdapter script_;
};

class Factory final : public DisplayFactory {
 public:
  explicit Factory(std::vector<FakeAdapter> adapters) : adapters_(std::move(adapters)) {}
  Hr<std::unique_ptr<DisplayAdapter>> adapter(std::uint32_t index) override {
    if (index >= adapters_.size()) return hr_error(static_cast<HResult>(0x887A0002));
    if (adapters_[index].enum_error) return hr_error(*adapters_[index].enum_error);
    return std::make_unique<Adapter>(adapters_[index]);
  }

 private:
  std::vector<FakeAdapter> adapters_;
};

}  // namespace

Hr<std::unique_ptr<DisplayFactory>> FakeWindowCapture::open_display_factory() {
  note("open_display_factory");
  if (factory_error) return hr_error(*factory_error);
  return std::make_unique<Factory>(adapters);
}

std::int64_t FakeWindowCapture::qpc_now() const {
  return qpc_base + clock_.elapsed().count() / 100 + qpc_jumps_;
}

std::optional<std::int64_t> FakeWindowCapture::performance_counter() {
  if (qpc_fails) return std::nullopt;
  return qpc_now() * (qpc_frequency / 10'000'000);
}

Hr<CaptureSize> FakeWindowCapture::item_size() {
  if (auto hr = failing("item_size")) return hr_error(*hr);
  const std::size_t i = std::min(item_size_calls_++, item_sizes.size() - 1);
  return item_sizes[i];
}

Hr<bool> FakeWindowCapture::border_required() {
  if (auto hr = failing("border_query")) return hr_error(*hr);
  const std::size_t i = std::min(border_calls_++, border_reads.size() - 1);
  return border_reads[i];
}

Hr<void> FakeWindowCapture::start_capture() {
  if (auto hr = failing("start_capture")) return hr_error(*hr);
  started_at_ = clock_.elapsed();
  start_qpc_100ns = qpc_now();
  if (on_start_capture) on_start_capture();
  return {};
}

Hr<bool> FakeWindowCapture::next_frame() {
  if (auto hr = failing("next_frame")) return hr_error(*hr);
  if (frames.empty() || clock_.elapsed() - *started_at_ < frames.front().arrives_after) return false;
  current_ = std::move(frames.front());
  frames.pop_front();
  ++frames_delivered;
  qpc_jumps_ += current_->qpc_jump_100ns;
  if (current_->on_arrival) current_->on_arrival();
  return true;
}

Hr<CaptureSize> FakeWindowCapture::frame_content_size() {
  if (auto hr = failing("frame_size")) return hr_error(*hr);
  return current_->content.value_or(first_size());
}

Hr<std::int64_t> FakeWindowCapture::frame_time() {
  if (auto hr = failing("frame_time")) return hr_error(*hr);
  return start_qpc_100ns + current_->time_from_start_100ns;
}

Hr<SurfaceDescription> FakeWindowCapture::open_surface_texture() {
  if (auto hr = failing("surface_texture")) return hr_error(*hr);
  if (texture) return *texture;
  const CaptureSize s = first_size();
  return SurfaceDescription{static_cast<std::uint32_t>(s.width), static_cast<std::uint32_t>(s.height), 87, 1, 1, 1, 0};
}

Hr<MappedSurface> FakeWindowCapture::map_staging() {
  if (auto hr = failing("staging_map")) return hr_error(*hr);
  if (!map_refusals.empty()) {
    const HResult hr = map_refusals.front();
    map_refusals.pop_front();
    return hr_error(hr);
  }
  ++maps;
  if (mapping) return *mapping;
  const CaptureSize s = first_size();
  const std::size_t bytes = std::size_t(s.width) * std::size_t(s.height) * 4;
  if (pixels.size() < bytes) {
    pixels.assign(bytes, 0);
    for (std::size_t i = 0; i < bytes; i += 4) {
      pixels[i] = static_cast<std::uint8_t>(i / 4);  // blue varies, green and red fixed, opaque
      pixels[i + 1] = 0x40;
      pixels[i + 2] = 0xC0;
      pixels[i + 3] = 0xFF;
    }
  }
  return MappedSurface{pixels.data(), static_cast<std::uint32_t>(s.width) * 4};
}

}  // namespace vor::desktop::testing
