// The counts as prometheus-cpp's metric families, and its exposer.
#include "metrics/MetricsExposer_un.h"

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>
#include <utility>

namespace bw {

namespace {
// Reads the counts at each scrape.
class TMilterCollectable final : public prometheus::Collectable {
public:
  TMilterCollectable(const TMilterMetrics &AMetrics, TGaugeSource AGauges)
      : FMetrics(AMetrics), FGauges(std::move(AGauges)) {}
  std::vector<prometheus::MetricFamily> Collect() const override {
    return MetricFamilies(FMetrics.Read(), FGauges());
  }

private:
  const TMilterMetrics &FMetrics;
  TGaugeSource FGauges;
};
} // namespace

// A label value as Prometheus' users write them: "not backscatter" as
// "not_backscatter", "buffer-limit" as "buffer_limit".
static std::string LabelValue(std::string_view AText) {
  std::string Value(AText);
  std::replace_if(Value.begin(), Value.end(), [](char C) { return C == ' ' || C == '-'; }, '_');
  return Value;
}

static prometheus::MetricFamily Family(std::string AName, std::string AHelp, prometheus::MetricType AType) {
  return {"bouncewarden_" + std::move(AName), std::move(AHelp), AType, {}};
}

static prometheus::ClientMetric Counter(double AValue, std::vector<prometheus::ClientMetric::Label> ALabels = {}) {
  prometheus::ClientMetric Metric;
  Metric.label = std::move(ALabels);
  Metric.counter.value = AValue;
  return Metric;
}

static prometheus::ClientMetric Gauge(double AValue) {
  prometheus::ClientMetric Metric;
  Metric.gauge.value = AValue;
  return Metric;
}

// A counter family with one label, one metric per value of it.
template <std::size_t N, class TNameOf>
static prometheus::MetricFamily Labelled(std::string AName, std::string AHelp, const char *ALabel,
                                         const std::array<std::uint64_t, N> &ACounts, TNameOf ANameOf) {
  prometheus::MetricFamily Result = Family(std::move(AName), std::move(AHelp), prometheus::MetricType::Counter);
  for (std::size_t I = 0; I < N; ++I)
    Result.metric.push_back(Counter(static_cast<double>(ACounts[I]), {{ALabel, LabelValue(ANameOf(I))}}));
  return Result;
}

std::vector<prometheus::MetricFamily> MetricFamilies(const TMetricsReading &AReading, const TGaugeReading &AGauges) {
  using prometheus::MetricType;
  std::vector<prometheus::MetricFamily> Families;
  Families.push_back(Labelled("messages_total", "Messages seen at the end of their headers, by kind.", "kind",
                              AReading.Messages, [](std::size_t I) { return I == 1 ? "bounce" : "other"; }));

  prometheus::MetricFamily Verdicts =
      Family("verdicts_total", "Messages logged, by verdict, deciding rule and the action the MTA was told.",
             MetricType::Counter);
  for (std::size_t V = 0; V < vlVerdictCount; ++V)
    for (std::size_t R = 0; R < RuleCount; ++R)
      for (std::size_t A = 0; A < alActionCount; ++A)
        if (const std::uint64_t Count = AReading.Verdicts[V][R][A])
          Verdicts.metric.push_back(Counter(
              static_cast<double>(Count),
              {{"verdict", LabelValue(VerdictLabelName(TVerdictLabel(V)))},
               {"rule", R == drNone ? std::string("none") : std::string(RuleName(TDecidingRule(R)))},
               {"action", LabelValue(ActionLabelName(TActionLabel(A)))}}));
  Families.push_back(std::move(Verdicts));

  Families.push_back(Labelled("errors_total",
                              "Messages without a verdict and connections closed, by class of error.", "class",
                              AReading.Errors, [](std::size_t I) { return ErrorClassName(TErrorClass(I)); }));
  Families.push_back(Labelled("ledger_records_total", "Message-IDs of sent mail offered to the ledger, by result.",
                              "result", AReading.Records,
                              [](std::size_t I) { return RecordResultName(TRecordResult(I)); }));
  Families.push_back(Labelled("ledger_lookups_total", "Bounces looked up in the ledger, by its answer.", "result",
                              AReading.Lookups,
                              [](std::size_t I) { return LookupResultName(TLedgerEvidence(leFound + I)); }));
  prometheus::MetricFamily Outages =
      Family("ledger_outages_total", "Times the ledger stopped answering after it had answered.", MetricType::Counter);
  Outages.metric.push_back(Counter(static_cast<double>(AReading.Outages)));
  Families.push_back(std::move(Outages));
  Families.push_back(Labelled("ledger_gaps_total", "Bounces judged without the ledger, by reason.", "reason",
                              AReading.Gaps, [](std::size_t I) { return GapReasonName(TGapReason(I)); }));

  const auto AddGauge = [&Families](std::string AName, std::string AHelp, double AValue) {
    prometheus::MetricFamily Gauges = Family(std::move(AName), std::move(AHelp), MetricType::Gauge);
    Gauges.metric.push_back(Gauge(AValue));
    Families.push_back(std::move(Gauges));
  };
  AddGauge("connections_open", "MTA connections open.", static_cast<double>(AGauges.OpenConnections));
  AddGauge("checks_in_flight", "Checks waiting for a worker or running.", static_cast<double>(AGauges.ChecksInFlight));
  if (AGauges.LedgerCovers)
    AddGauge("ledger_covers_retention", "1 once the ledger covers its retention, 0 while it warms up or cannot say.",
             *AGauges.LedgerCovers ? 1 : 0);

  prometheus::MetricFamily Times =
      Family("check_duration_seconds", "Time from the end of a bounce to its verdict, waiting for a worker included.",
             MetricType::Histogram);
  prometheus::ClientMetric Histogram;
  std::uint64_t Cumulative = 0;
  for (std::size_t I = 0; I < CheckTimeBucketCount; ++I) {
    Cumulative += AReading.CheckTimes[I];
    Histogram.histogram.bucket.push_back(
        {Cumulative, I < std::size(CheckTimeBounds) ? CheckTimeBounds[I] : std::numeric_limits<double>::infinity()});
  }
  Histogram.histogram.sample_count = Cumulative;
  Histogram.histogram.sample_sum = static_cast<double>(AReading.CheckMicroseconds) / 1e6;
  Times.metric.push_back(std::move(Histogram));
  Families.push_back(std::move(Times));
  return Families;
}

TMetricsExposer::TMetricsExposer(const std::string &AAddress, const TMilterMetrics &AMetrics, TGaugeSource AGauges)
    : FCollectable(std::make_shared<TMilterCollectable>(AMetrics, std::move(AGauges))) {
  try {
    FExposer = std::make_unique<prometheus::Exposer>(AAddress, /*num_threads=*/1);
  } catch (const std::runtime_error &E) {  // civetweb's: the address cannot be bound or parsed
    throw EMetricsError("cannot serve metrics at " + AAddress + ": " + E.what());
  }
  FExposer->RegisterCollectable(FCollectable);
}

TMetricsExposer::~TMetricsExposer() = default;

} // namespace bw
