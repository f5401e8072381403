// The watch over silent peers: which connection is closed when, and that
// none is closed while it is busy, twice, or after its socket changed hands.
#include "milter/MilterWatch_un.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using TClock = bw::TConnectionWatch::TClock;

const bw::TWatchBounds Bounds{5s, 60s};

// Expires at AAt; returns the lines, and the descriptors shut down.
std::vector<std::string> ExpireAt(bw::TConnectionWatch &AWatch, TClock::time_point AAt, std::vector<int> &AShut) {
  return AWatch.Expire(AAt, Bounds, [&AShut](const bw::TConnectionWatch::TSocket &ASocket) {
    AShut.push_back(ASocket.Fd);
    return true;
  });
}

TEST(MilterWatchTest, EachPhaseHasItsBoundAndABusyConnectionIsNeverClosed) {
  const TClock::time_point T0{};
  const struct {
    std::vector<bw::TConnectionPhase> Steps;  // each a callback of one second at T0 + 1 s, + 2 s, ...
    std::chrono::seconds QuietFor;            // after the last step
    std::string Closed;                       // empty: still open
  } Cases[] = {
      {{}, 5s, ""},
      {{}, 6s, "silent for 6 s before its first command was complete (--timeout)"},
      {{bw::cpBetweenMessages}, 6s, "silent for 6 s between commands (--timeout)"},
      {{bw::cpBetweenMessages, bw::cpContent}, 6s, "silent for 6 s in the middle of a message (--timeout)"},
      // MAIL FROM, then the MTA waits for its client's data: only the
      // transaction's bound holds.
      {{bw::cpBetweenMessages, bw::cpEnvelope}, 50s, ""},
      {{bw::cpBetweenMessages, bw::cpEnvelope}, 60s, "its message not finished within 60 s (--message-timeout)"},
      {{bw::cpEnvelope, bw::cpContent, bw::cpContent, bw::cpContent}, 3s, ""},
  };
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.Closed);
    bw::TConnectionWatch Watch;
    const bw::TConnectionWatch::TSocket Sockets[] = {{7, 70}};
    Watch.Seen(Sockets, T0);
    TClock::time_point At = T0;
    for (const bw::TConnectionPhase Phase : Case.Steps) {
      Watch.Enter(7, At);
      At += 1s;
      Watch.Leave(7, Phase, At);
    }
    std::vector<int> Shut;
    const std::vector<std::string> Lines = ExpireAt(Watch, At + Case.QuietFor, Shut);
    EXPECT_EQ(Lines, Case.Closed.empty() ? std::vector<std::string>{} : std::vector<std::string>{"connection closed: " + Case.Closed});
    EXPECT_EQ(Shut.size(), Case.Closed.empty() ? 0u : 1u);
    if (!Case.Closed.empty()) {  // once only
      EXPECT_TRUE(ExpireAt(Watch, At + Case.QuietFor + 100s, Shut).empty());
    }
  }

  // A callback that runs long (a check waiting for a worker) is not silence.
  bw::TConnectionWatch Watch;
  const bw::TConnectionWatch::TSocket Sockets[] = {{7, 70}};
  Watch.Seen(Sockets, T0);
  Watch.Enter(7, T0);
  std::vector<int> Shut;
  EXPECT_TRUE(ExpireAt(Watch, T0 + 100s, Shut).empty());
  Watch.Leave(7, bw::cpBetweenMessages, T0 + 100s);
  EXPECT_TRUE(ExpireAt(Watch, T0 + 104s, Shut).empty());
  EXPECT_EQ(ExpireAt(Watch, T0 + 106s, Shut).size(), 1u);
}

TEST(MilterWatchTest, AClosedConnectionIsForgottenAndAReusedNumberStartsOver) {
  const TClock::time_point T0{};
  bw::TConnectionWatch Watch;
  const bw::TConnectionWatch::TSocket Two[] = {{7, 70}, {8, 80}};
  Watch.Seen(Two, T0);
  EXPECT_EQ(Watch.Count(), 2u);
  Watch.Closed(7);
  EXPECT_EQ(Watch.Count(), 1u);
  // Descriptor 8 now names another connection, accepted at T0 + 4 s.
  const bw::TConnectionWatch::TSocket Reused[] = {{8, 81}};
  Watch.Seen(Reused, T0 + 4s);
  std::vector<int> Shut;
  EXPECT_TRUE(ExpireAt(Watch, T0 + 8s, Shut).empty());
  // A connection known only from its steps waits for its socket to be seen.
  Watch.Enter(9, T0);
  Watch.Leave(9, bw::cpBetweenMessages, T0);
  EXPECT_TRUE(ExpireAt(Watch, T0 + 8s, Shut).empty());
  // Gone without a close reported: forgotten at the next look.
  const bw::TConnectionWatch::TSocket Nine[] = {{9, 90}};
  Watch.Seen(Nine, T0 + 8s);
  EXPECT_EQ(Watch.Count(), 1u);
  EXPECT_EQ(ExpireAt(Watch, T0 + 10s, Shut), std::vector<std::string>{"connection closed: silent for 10 s between "
                                                                      "commands (--timeout)"});
  EXPECT_EQ(Shut, std::vector<int>{9});
  // A socket that changed hands under the watch's nose is not reported closed.
  bw::TConnectionWatch Other;
  Other.Seen(Nine, T0);
  EXPECT_TRUE(Other.Expire(T0 + 10s, Bounds, [](const bw::TConnectionWatch::TSocket &) { return false; }).empty());
}

} // namespace
