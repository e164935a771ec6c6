#include "session/documents.h"

#include <gtest/gtest.h>

#include "fake_lease_clock.h"

namespace vor::desktop {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kFullscreen =
    R"({"active":false,"authorizationRestoredFromReceipt":false,"code":"DESKTOP_FULLSCREEN_UNSUPPORTED",)"
    R"("compiled":false,"schemaVersion":"vor.marionet-fullscreen/v1","statusRenewsLease":false,"supported":false})";

std::string status_bytes(std::uint32_t session, std::string_view idle) {
  return std::string(R"({"code":"DESKTOP_SESSION_READY","fullscreenDiagnostic":)") + std::string(kFullscreen) +
         R"(,"idleRemainingSeconds":)" + std::string(idle) +
         R"(,"idleTimeoutSeconds":300,"running":true,"schemaVersion":"vor.desktop-session/v1","sessionId":)" +
         std::to_string(session) + R"(,"statusRenewsIdle":false,"targetApplicationsClosed":false})";
}

struct StatusCase {
  std::uint32_t session;
  std::chrono::nanoseconds remaining;
  const char* idle;
};

TEST(SessionDocuments, StatusIsByteExactWithTheRemainingTimeFloored) {
  const StatusCase cases[] = {
      {1, 300s, "300"},
      {1, 299999999999ns, "299"},
      {7, 1999ms, "1"},
      {4294967295u, 999ms, "0"},
      {2, 0ns, "0"},
      {2, -5s, "0"},
  };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(c.idle);
    const json::Value doc = session_status_document(c.session, c.remaining);
    // The members are held in sorted order already: both writers agree.
    EXPECT_EQ(json::to_sorted_string(doc), status_bytes(c.session, c.idle));
    EXPECT_EQ(json::to_string(doc), status_bytes(c.session, c.idle));
  }
}

TEST(SessionDocuments, ClosedIsByteExact) {
  EXPECT_EQ(json::to_sorted_string(session_closed_document(0)),
            R"({"code":"DESKTOP_SESSION_CLOSED","running":false,"schemaVersion":"vor.desktop-session/v1",)"
            R"("sessionId":0,"targetApplicationsClosed":false})");
  EXPECT_EQ(json::to_string(session_closed_document(3)),
            R"({"code":"DESKTOP_SESSION_CLOSED","running":false,"schemaVersion":"vor.desktop-session/v1",)"
            R"("sessionId":3,"targetApplicationsClosed":false})");
}

TEST(SessionDocuments, StatusOfALeaseFallsSteadilyAndNeverRenewsIt) {
  testing::FakeLeaseClock clock;
  testing::RecordedExit exit;
  auto lease = start_lease_thread(clock, exit.function());
  ASSERT_TRUE(lease) << lease.error().display_chain();
  ASSERT_TRUE(lease_end_operation(*lease));
  EXPECT_EQ(json::to_string(session_status_document(1, *lease)), status_bytes(1, "300"));
  clock.advance(400ms);
  EXPECT_EQ(json::to_string(session_status_document(1, *lease)), status_bytes(1, "299"));
  clock.advance(1s);
  EXPECT_EQ(json::to_string(session_status_document(1, *lease)), status_bytes(1, "298"));
  EXPECT_EQ(idle_remaining_seconds(*lease), 298600ms);
}

}  // namespace
}  // namespace vor::desktop
