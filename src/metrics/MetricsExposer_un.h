// The milter's counts for Prometheus: each scrape reads the counters and
// gauges and hands them to prometheus-cpp, whose pull exposer serves them
// over HTTP in its own text format. Only the daemon links this library, so
// the tests and the fuzzers of the milter's library need no prometheus-cpp.
#pragma once

#include "milter/MilterMetrics_un.h"
#include "rtl/SysUtils_un.h"

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace bw {

// The metrics endpoint could not be served.
class EMetricsError : public Exception {
public:
  using Exception::Exception;
  const char *ClassName() const noexcept override { return "EMetricsError"; }
};

// What is true at the moment of a scrape.
struct TGaugeReading {
  std::size_t OpenConnections = 0;
  std::size_t ChecksInFlight = 0;
  std::optional<bool> LedgerCovers;  // none without a ledger
};
using TGaugeSource = std::function<TGaugeReading()>;

// The families of one reading, named bouncewarden_*: counters of messages
// by kind, verdicts by verdict, rule and action (those that happened),
// errors by class, the ledger's records and lookups by result, its outages
// and its gaps by reason; gauges of open connections, checks in flight and
// whether the ledger covers its retention; the histogram of check time.
std::vector<prometheus::MetricFamily> MetricFamilies(const TMetricsReading &AReading, const TGaugeReading &AGauges);

class TMetricsExposer {
public:
  // Serves http://AAddress/metrics from threads of its own (started here,
  // with the caller's signal mask). Raises EMetricsError "cannot serve
  // metrics at ADDRESS: <why>" when the address cannot be bound.
  TMetricsExposer(const std::string &AAddress, const TMilterMetrics &AMetrics, TGaugeSource AGauges);
  ~TMetricsExposer();
  TMetricsExposer(const TMetricsExposer &) = delete;
  TMetricsExposer &operator=(const TMetricsExposer &) = delete;

private:
  std::shared_ptr<prometheus::Collectable> FCollectable;
  std::unique_ptr<prometheus::Exposer> FExposer;
};

} // namespace bw
