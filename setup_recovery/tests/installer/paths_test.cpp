#include "installer/paths.h"

#include <gtest/gtest.h>

#include "installer/data_layout.h"
#include "installer/utc_time.h"

namespace vor::setup {
namespace {

TEST(Paths, ParentStopsAtTheRoot) {
  struct Case {
    const char* path;
    std::optional<std::string> parent;
  };
  const Case cases[] = {
      {"C:\\ProgramData\\Vor\\Kerno", "C:\\ProgramData\\Vor"},
      {"C:\\ProgramData", "C:\\"},
      {"C:\\", std::nullopt},
      {"C:\\a\\b\\", "C:\\a"},
      {"name.lock", std::nullopt},
      {"\\\\server\\share\\dir", "\\\\server\\share\\"},
      {"\\\\server\\share\\", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parent(c.path), c.parent) << c.path;
}

TEST(Paths, ReplaceExtensionNamesTheQuarantineFile) {
  EXPECT_EQ(replace_extension("C:\\R\\State\\component-update.lock", "stale-00ff"), "C:\\R\\State\\component-update.stale-00ff");
  EXPECT_EQ(replace_extension("C:\\R\\a.b.c", "x"), "C:\\R\\a.b.x");
  EXPECT_EQ(replace_extension("C:\\R.d\\noext", "x"), "C:\\R.d\\noext.x");
  EXPECT_EQ(replace_extension("C:\\R\\.hidden", "x"), "C:\\R\\.hidden.x");
}

TEST(DataLayout, FixedPathsUnderTheRoot) {
  const DataLayout l = make_data_layout(kDataRoot);
  EXPECT_EQ(l.root, "C:\\ProgramData\\Vor\\Kerno");
  EXPECT_EQ(l.state_file, "C:\\ProgramData\\Vor\\Kerno\\state.dat");
  EXPECT_EQ(l.agent_config, "C:\\ProgramData\\Vor\\Kerno\\agent-config.json");
  EXPECT_EQ(l.logs_dir, "C:\\ProgramData\\Vor\\Kerno\\Logs");
  EXPECT_EQ(l.audit_log, "C:\\ProgramData\\Vor\\Kerno\\Logs\\audit.log");
  EXPECT_EQ(l.cloud_outbox, "C:\\ProgramData\\Vor\\Kerno\\State\\CloudOutbox");
  EXPECT_EQ(l.audit_outbox, "C:\\ProgramData\\Vor\\Kerno\\State\\AuditOutbox");
  EXPECT_EQ(l.bundles, "C:\\ProgramData\\Vor\\Kerno\\Bundles");
  EXPECT_EQ(l.snapshots, "C:\\ProgramData\\Vor\\Kerno\\Snapshots");
  EXPECT_EQ(l.temp_dir, "C:\\ProgramData\\Vor\\Kerno\\Temp");
  EXPECT_EQ(lock_path(l.root), "C:\\ProgramData\\Vor\\Kerno\\State\\component-update.lock");
  EXPECT_EQ(journal_path(l.root), "C:\\ProgramData\\Vor\\Kerno\\Setup\\transaction.dat");
  EXPECT_EQ(failure_report_path(l.root), "C:\\ProgramData\\Vor\\Kerno\\Setup\\last-recovery.json");
  EXPECT_EQ(kInstallDir, "C:\\Program Files\\Vor\\Kerno Client");
}

TEST(UtcTime, FiletimeConversionAndDisplayForm) {
  // 2026-12-09T09:41:26Z is 1796809286 s after 1970.
  const std::uint64_t base = (1796809286ull + 11644473600ull) * 10'000'000ull;
  struct Case {
    std::uint64_t extra_units;
    const char* rfc3339;
    const char* display;
  };
  const Case cases[] = {
      {0, "2026-12-09T09:41:26Z", "2026-12-09 09:41:26 UTC"},
      {2'500'000, "2026-12-09T09:41:26.250Z", "2026-12-09 09:41:26.250 UTC"},
      {1'234'560, "2026-12-09T09:41:26.123456Z", "2026-12-09 09:41:26.123456 UTC"},
      {1'234'567, "2026-12-09T09:41:26.123456700Z", "2026-12-09 09:41:26.123456700 UTC"},
  };
  for (const Case& c : cases) {
    const Time t = time_from_filetime(base + c.extra_units);
    EXPECT_EQ(format_rfc3339(t), c.rfc3339);
    EXPECT_EQ(format_display(t), c.display);
  }
  // Every FILETIME up to year 9999 is held exactly; later ones saturate.
  EXPECT_EQ(format_rfc3339(time_from_filetime(0)), "1601-01-01T00:00:00Z");
  EXPECT_EQ(format_rfc3339(time_from_filetime(1)), "1601-01-01T00:00:00.000000100Z");
  // 9999-12-31T23:59:59.9999999Z, the last FILETIME of year 9999, and one unit later.
  const std::uint64_t last = (253402300799ull + 11644473600ull) * 10'000'000ull + 9'999'999;
  EXPECT_EQ(format_rfc3339(time_from_filetime(last)), "9999-12-31T23:59:59.999999900Z");
  EXPECT_EQ(time_from_filetime(last + 1), Time::max());
  EXPECT_EQ(time_from_filetime(~0ull), Time::max());
}

}  // namespace
}  // namespace vor::setup
