#include "readiness/readiness.h"

#include "common/text.h"
#include "native/process_identity.h"

namespace vor::desktop {
namespace {

// The text up to the first NUL, with unpaired surrogates as U+FFFD.
std::string lossy_utf8(std::u16string_view units) {
  std::string out;
  for (std::size_t i = 0; i < units.size() && units[i] != u'\0'; ++i) {
    char32_t c = units[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    append_utf8(out, c);
  }
  return out;
}

bool contains(const Rect& outer, const Rect& inner) {
  return outer.left <= inner.left && outer.top <= inner.top && outer.right >= inner.right &&
         outer.bottom >= inner.bottom;
}

}  // namespace

std::string_view notification_state_name(std::int32_t hresult, std::int32_t state) {
  if (hresult != 0) return "query_failed";
  switch (state) {
    case 1: return "not_present";
    case 2: return "busy";
    case 3: return "running_d3d_full_screen";
    case 4: return "presentation_mode";
    case 5: return "accepts_notifications";
    case 6: return "quiet_time";
    case 7: return "store_app";
    default: return "unknown";
  }
}

ReadinessFacts collect_readiness_facts(const DesktopPorts& ports, DesktopSys& desktop, std::uint32_t session) {
  ReadinessFacts f;
  f.session = session;
  f.notification = desktop.notification_state();
  f.screensaver = desktop.screensaver_running();
  f.composition = desktop.composition_enabled();
  f.input_desktop = ports.windows.input_desktop_name();
  f.foreground = ports.windows.foreground_window();
  f.foreground_process_id = ports.windows.window_process_id(f.foreground);
  if (f.foreground != 0) f.foreground_rect = ports.windows.window_rect(f.foreground);
  f.monitor = desktop.monitor_from_window(f.foreground);
  if (f.monitor != 0) f.monitor_rect = desktop.monitor_rect(f.monitor);
  f.observed_at = ports.clock.utc_now();
  f.last_input_tick = ports.input.last_input_tick();
  f.tick_count = desktop.tick_count();
  if (f.foreground_process_id != 0) {
    if (auto created = process_creation_time(ports.processes, f.foreground_process_id)) {
      f.foreground_process_created = *created;
    }
  }
  if (f.foreground != 0) f.foreground_minimized = ports.windows.is_minimized(f.foreground);
  return f;
}

NoticeContext assemble_notice_context(const ReadinessFacts& f) {
  NoticeContext c;
  c.observed_at = f.observed_at;
  c.worker_session_id = f.session;
  if (f.input_desktop) {
    c.input_desktop_name = lossy_utf8(*f.input_desktop);
    c.input_desktop_available = *f.input_desktop == kDefaultDesktopName;
  } else {
    c.input_desktop_error = f.input_desktop.error();
  }
  c.notification_hresult = f.notification.hresult;
  if (f.notification.hresult == 0) c.notification_state = f.notification.value;
  c.notification_state_name = std::string(notification_state_name(f.notification.hresult, f.notification.value));
  if (f.screensaver) {
    c.screensaver_running = *f.screensaver != 0;
  } else {
    c.screensaver_error = f.screensaver.error();
  }
  if (f.last_input_tick) c.last_input_idle_milliseconds = f.tick_count - *f.last_input_tick;
  c.composition_hresult = f.composition.hresult;
  if (f.composition.hresult >= 0) c.composition_enabled = f.composition.value != 0;
  c.foreground_handle = std::to_string(f.foreground);
  if (f.foreground_process_id != 0) c.foreground_process_id = f.foreground_process_id;
  if (f.foreground_process_created) c.foreground_process_created = std::to_string(*f.foreground_process_created);
  c.foreground_minimized = f.foreground != 0 && f.foreground_minimized;
  if (f.foreground_rect && *f.foreground_rect) c.foreground_rect = **f.foreground_rect;
  if (f.monitor_rect && *f.monitor_rect) c.display_rect = **f.monitor_rect;
  if (c.foreground_rect && c.display_rect) c.foreground_covers_display = contains(*c.foreground_rect, *c.display_rect);
  return c;
}

NoticeContext query_readiness(const DesktopPorts& ports, DesktopSys& desktop, std::uint32_t session) {
  return assemble_notice_context(collect_readiness_facts(ports, desktop, session));
}

Status check_session_ready(const DesktopPorts& ports, DesktopSys& desktop) {
  auto session = process_session_id(ports.processes, ports.processes.current_process_id());
  if (!session) return fail(std::move(session.error()));
  const auto state = desktop.session_connect_state(*session);
  const bool active = state && state->bytes >= 4 && state->value == kSessionStateActive;
  NoticeContext snapshot = query_readiness(ports, desktop, *session);
  if (!active || !snapshot.input_desktop_available) {
    return fail(Error::with(std::string(kLockedOrUnavailable), std::move(snapshot)));
  }
  if (snapshot.screensaver_running.value_or(true) || !snapshot.composition_enabled.value_or(false)) {
    return fail(Error::with(std::string(kNoticeProofUnavailable), std::move(snapshot)));
  }
  return {};
}

}  // namespace vor::desktop
