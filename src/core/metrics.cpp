#include "core/metrics.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>

namespace {

struct histogram_data {
    std::vector<std::uint64_t> counts;  // per bound, not cumulative; the last is +Inf
    double sum = 0;
    std::uint64_t count = 0;
};

struct family {
    std::string name;
    metric_type type = metric_type::counter;
    bool described = false;
    std::string help;
    std::vector<double> buckets;
    std::map<std::string, double> values;  // by label text
    std::map<std::string, histogram_data> histograms;
};

struct registry {
    std::vector<family> families;  // in the order they were described
    std::vector<std::function<void()>> collectors;
};

registry& the_registry() {
    static registry r;
    return r;
}

family& family_of(std::string_view name) {
    for (family& f : the_registry().families) {
        if (f.name == name) {
            return f;
        }
    }
    family& f = the_registry().families.emplace_back();
    f.name = name;
    return f;
}

// Label values are escaped as the format asks: backslash, double quote and line feed.
std::string label_text(metric_labels labels) {
    std::string out;
    for (const auto& [name, value] : labels) {
        if (!out.empty()) {
            out += ',';
        }
        out.append(name);
        out += "=\"";
        for (char c : value) {
            if (c == '\\' || c == '"') {
                out += '\\';
                out += c;
            } else if (c == '\n') {
                out += "\\n";
            } else {
                out += c;
            }
        }
        out += '"';
    }
    return out;
}

std::string number_text(double value) {
    if (std::isinf(value)) {
        return value > 0 ? "+Inf" : "-Inf";
    }
    if (std::isnan(value)) {
        return "NaN";
    }
    char text[40];
    if (value == std::floor(value) && std::fabs(value) < 1e15) {
        std::snprintf(text, sizeof text, "%.0f", value);
        return text;
    }
    // The shortest text that reads back as the same number.
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value) {
            break;
        }
    }
    return text;
}

void series_line(std::string& out, std::string_view name, std::string_view labels, double value) {
    out.append(name);
    if (!labels.empty()) {
        out += '{';
        out.append(labels);
        out += '}';
    }
    out += ' ';
    out += number_text(value);
    out += '\n';
}

const char* type_text(const family& f) {
    if (!f.described) {
        return "untyped";
    }
    switch (f.type) {
        case metric_type::counter:
            return "counter";
        case metric_type::gauge:
            return "gauge";
        case metric_type::histogram:
            return "histogram";
    }
    return "untyped";
}

void render_histogram(std::string& out, const family& f, const std::string& labels,
                      const histogram_data& h) {
    const std::string bucket_name = f.name + "_bucket";
    const std::string prefix = labels.empty() ? std::string() : labels + ",";
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < h.counts.size(); ++i) {
        cumulative += h.counts[i];
        const double bound = i < f.buckets.size() ? f.buckets[i] : INFINITY;
        series_line(out, bucket_name, prefix + "le=\"" + number_text(bound) + "\"",
                    static_cast<double>(cumulative));
    }
    series_line(out, f.name + "_sum", labels, h.sum);
    series_line(out, f.name + "_count", labels, static_cast<double>(h.count));
}

}  // namespace

void metrics_describe(std::string_view name, metric_type type, std::string_view help,
                      std::vector<double> buckets) {
    family& f = family_of(name);
    f.type = type;
    f.described = true;
    f.help = help;
    f.buckets = std::move(buckets);
}

void metrics_add(std::string_view name, metric_labels labels, double amount) {
    family_of(name).values[label_text(labels)] += amount;
}

void metrics_set(std::string_view name, metric_labels labels, double value) {
    family_of(name).values[label_text(labels)] = value;
}

void metrics_observe(std::string_view name, double value, metric_labels labels) {
    family& f = family_of(name);
    histogram_data& h = f.histograms[label_text(labels)];
    h.counts.resize(f.buckets.size() + 1);
    std::size_t i = 0;
    while (i < f.buckets.size() && value > f.buckets[i]) {
        ++i;
    }
    ++h.counts[i];
    h.sum += value;
    ++h.count;
}

void metrics_add_collector(std::function<void()> collector) {
    the_registry().collectors.push_back(std::move(collector));
}

std::string metrics_render() {
    for (const auto& collector : the_registry().collectors) {
        collector();
    }
    std::string out;
    for (const family& f : the_registry().families) {
        if (f.described) {
            out += "# HELP " + f.name + " " + f.help + "\n";
        }
        out += "# TYPE " + f.name + " " + type_text(f) + "\n";
        if (f.described && f.type == metric_type::histogram) {
            if (f.histograms.empty()) {
                render_histogram(
                    out, f, "", histogram_data{{std::vector<std::uint64_t>(f.buckets.size() + 1)}});
            }
            for (const auto& [labels, h] : f.histograms) {
                render_histogram(out, f, labels, h);
            }
            continue;
        }
        for (const auto& [labels, value] : f.values) {
            series_line(out, f.name, labels, value);
        }
    }
    return out;
}

void metrics_reset() {
    the_registry() = registry{};
}

double metrics_clock() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}
