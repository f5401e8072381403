// The counts as Prometheus reads them, through prometheus-cpp's own text
// serializer: labels as PromQL queries name them, the histogram cumulative,
// the ledger's gauge only with a ledger.
#include "metrics/MetricsExposer_un.h"

#include <gtest/gtest.h>
#include <prometheus/text_serializer.h>

#include <sstream>
#include <string>

namespace {

std::string Text(const bw::TMetricsReading &AReading, const bw::TGaugeReading &AGauges) {
  std::ostringstream Out;
  prometheus::TextSerializer().Serialize(Out, bw::MetricFamilies(AReading, AGauges));
  return Out.str();
}

TEST(MetricsExposerTest, AReadingBecomesTheFamiliesTheQueriesName) {
  bw::TMetricsReading Reading;
  Reading.Messages = {7, 3};
  Reading.Verdicts[bw::vlBackscatter][bw::drPattern][bw::alReject] = 2;
  Reading.Verdicts[bw::vlNotBackscatter][bw::drLedger][bw::alAccept] = 1;
  Reading.Errors[bw::ecBufferLimit] = 4;
  Reading.Gaps[bw::grWarmingUp] = 5;
  Reading.CheckTimes[0] = 1;  // up to 0.5 ms
  Reading.CheckTimes[3] = 2;  // up to 5 ms
  Reading.CheckMicroseconds = 500000;
  const std::string WithoutLedger = Text(Reading, {12, 2, std::nullopt});
  for (const char *Line : {
           "bouncewarden_messages_total{kind=\"bounce\"} 3\n",
           "bouncewarden_verdicts_total{verdict=\"backscatter\",rule=\"pattern\",action=\"reject\"} 2\n",
           "bouncewarden_verdicts_total{verdict=\"not_backscatter\",rule=\"ledger\",action=\"accept\"} 1\n",
           "bouncewarden_errors_total{class=\"buffer_limit\"} 4\n",
           "bouncewarden_ledger_gaps_total{reason=\"warming_up\"} 5\n",
           "bouncewarden_connections_open 12\n",
           "bouncewarden_checks_in_flight 2\n",
           "bouncewarden_check_duration_seconds_bucket{le=\"0.0005\"} 1\n",
           "bouncewarden_check_duration_seconds_bucket{le=\"0.005\"} 3\n",
           "bouncewarden_check_duration_seconds_bucket{le=\"+Inf\"} 3\n",
           "bouncewarden_check_duration_seconds_sum 0.5\n",
       })
    EXPECT_NE(WithoutLedger.find(Line), std::string::npos) << Line;
  // Only the verdicts that happened, and no ledger gauge without a ledger.
  EXPECT_EQ(WithoutLedger.find("verdict=\"error\""), std::string::npos);
  EXPECT_EQ(WithoutLedger.find("ledger_covers_retention"), std::string::npos);
  EXPECT_NE(Text(Reading, {0, 0, false}).find("bouncewarden_ledger_covers_retention 0\n"), std::string::npos);
}

} // namespace
