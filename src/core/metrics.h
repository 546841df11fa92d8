// Counters, gauges and histograms that the subsystems keep, and their text for a scraper (the
// Prometheus text exposition format, version 0.0.4).
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class metric_type { counter, gauge, histogram };

// Label names and values of one series, in the order given.
using metric_labels = std::initializer_list<std::pair<std::string_view, std::string_view>>;

// Names a family before its first use, in the order families are written.  Histograms take
// their bucket bounds here (ascending; +Inf is added).  A family used without being described
// is written as untyped.
void metrics_describe(std::string_view name, metric_type type, std::string_view help,
                      std::vector<double> buckets = {});
// Adds to a counter (or a gauge).
void metrics_add(std::string_view name, metric_labels labels = {}, double amount = 1);
// Sets a gauge.
void metrics_set(std::string_view name, metric_labels labels, double value);
// Counts one value into a histogram.
void metrics_observe(std::string_view name, double value, metric_labels labels = {});
// Called just before every scrape, to set the gauges that are read from state.
void metrics_add_collector(std::function<void()> collector);
// The text a scraper gets.
std::string metrics_render();
// Forgets every family, series and collector.
void metrics_reset();
// Seconds of the monotonic clock, for durations.
double metrics_clock();
