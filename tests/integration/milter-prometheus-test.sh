#!/usr/bin/env bash
# bouncewarden-milter's metrics scraped by Debian's Prometheus while bounces
# go through a private Postfix: the milter serves them (--metrics) on a
# 127.0.0.1 port, a Prometheus of the test's own (its configuration and its
# database in the scratch folder, on another 127.0.0.1 port) scrapes them
# every second, and its HTTP API answers a counter once the bounces went
# through; promtool accepts the milter's output, and the README's three
# queries evaluate.
#
#   milter-prometheus-test.sh <build dir> <source tree>
set -uo pipefail
Build=$(realpath "$1")
Source=$(realpath "$2")
. "$Source/tests/integration/lib.sh"
. "$Source/tests/integration/postfix-lib.sh"
. "$Source/tests/integration/milter-lib.sh"

milter_require "$Build"
for Program in prometheus promtool curl; do
  command -v $Program >/dev/null || skip "$Program is not installed (scripts/install-deps.sh test brings it)"
done
pf_require "$0" "$@"
pf_make_scratch
PrometheusPid=
trap '[ -n "$PrometheusPid" ] && kill "$PrometheusPid" 2>/dev/null; milter_stop; pf_stop; rm -rf "$Scratch"' EXIT
pf_setup
Data=$Source/tests/data/integration
MetricsPort=$(pf_free_port)
PrometheusPort=$(pf_free_port)
[ "$MetricsPort" != "$PrometheusPort" ] || skip "no two free ports"

"$Milter" --pattern='.*@example\.com$' --listen="unix:$Scratch/milter.sock" --socket-mode=0666 --user=nobody \
  --metrics="127.0.0.1:$MetricsPort" --log-stderr 2>"$Scratch/milter.log" &
MilterPid=$!
milter_wait_socket "$Scratch/milter.sock" "$Scratch/milter.log" "the milter"

cat >"$Scratch/prometheus.yml" <<EOT
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: bouncewarden
    static_configs:
      - targets: ['127.0.0.1:$MetricsPort']
EOT
prometheus --config.file="$Scratch/prometheus.yml" --storage.tsdb.path="$Scratch/tsdb" \
  --web.listen-address="127.0.0.1:$PrometheusPort" >"$Scratch/prometheus.log" 2>&1 &
PrometheusPid=$!

pf_conf "smtpd_milters = unix:$Scratch/milter.sock" "milter_default_action = accept"
pf_start
for _ in 1 2; do smtp_send "" alice@example.com "$Data/bounce-of-forged-message.eml"; done
check "forged bounces through Postfix are refused: $SmtpDataReply" eval '[[ "$SmtpDataReply" == 550* ]]'
smtp_send "" alice@example.com "$Data/bounce-of-own-message.eml"
pf_wait_delivered

Metrics=$(curl -sf "http://127.0.0.1:$MetricsPort/metrics")
check "promtool check metrics accepts the milter's output" eval 'promtool check metrics <<<"$Metrics"'
check "the milter counts the refused bounces" \
  grep -q '^bouncewarden_verdicts_total{verdict="backscatter",rule="pattern",action="reject"} 2$' <<<"$Metrics"

# query <PromQL>: the first sample's value, as Prometheus' HTTP API answers it.
query() {
  curl -sf --get "http://127.0.0.1:$PrometheusPort/api/v1/query" --data-urlencode "query=$1" |
    sed -n 's/.*"value":\[[0-9.]*,"\([^"]*\)"\].*/\1/p'
}
Refused=
for _ in $(seq 60); do
  Refused=$(query 'sum(bouncewarden_verdicts_total{verdict="backscatter",action="reject"})')
  [ "$Refused" = 2 ] && break
  sleep 0.5
done
check "Prometheus scraped the milter: refused backscatter is 2 ($Refused)" [ "$Refused" = 2 ]
[ "$Refused" = 2 ] || tail -5 "$Scratch/prometheus.log"
# The README's queries: each one evaluates to a result.
for Query in 'sum(increase(bouncewarden_verdicts_total{verdict="backscatter",action="reject"}[1h]))' \
  'sum by (rule) (rate(bouncewarden_verdicts_total{rule!="none"}[1h]))' \
  'histogram_quantile(0.99, sum by (le) (rate(bouncewarden_check_duration_seconds_bucket[5m])))'; do
  Status=$(curl -sf --get "http://127.0.0.1:$PrometheusPort/api/v1/query" --data-urlencode "query=$Query" |
    sed -n 's/^{"status":"\([a-z]*\)".*/\1/p')
  check "the query $Query evaluates ($Status)" [ "$Status" = success ]
done

pf_stop
milter_stop
check "SIGTERM ends the milter with exit code 0" [ "${MilterStatus:-}" = 0 ]
finish
