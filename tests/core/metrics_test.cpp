#include <gtest/gtest.h>

#include "core/metrics.h"
#include "core/metrics_server.h"

namespace {

TEST(Metrics, TextFormat) {
    metrics_reset();
    metrics_describe("t_total", metric_type::counter, "Things.");
    metrics_describe("t_seconds", metric_type::histogram, "Time.", {0.05, 2});
    metrics_add("t_total", {{"why", "a \"quoted\\ \nline"}}, 2);
    metrics_add("t_total", {{"why", "b"}});
    metrics_add("t_total", {{"why", "b"}}, 0.25);
    for (double v : {0.05, 1.0, 7.1}) {
        metrics_observe("t_seconds", v);
    }
    metrics_set("t_untyped", {}, 3);
    EXPECT_EQ(metrics_render(),
              "# HELP t_total Things.\n# TYPE t_total counter\n"
              "t_total{why=\"a \\\"quoted\\\\ \\nline\"} 2\n"
              "t_total{why=\"b\"} 1.25\n"
              "# HELP t_seconds Time.\n# TYPE t_seconds histogram\n"
              "t_seconds_bucket{le=\"0.05\"} 1\nt_seconds_bucket{le=\"2\"} 2\n"
              "t_seconds_bucket{le=\"+Inf\"} 3\nt_seconds_sum 8.15\nt_seconds_count 3\n"
              "# TYPE t_untyped untyped\nt_untyped 3\n");
    metrics_reset();
}

TEST(Metrics, EndpointReplies) {
    metrics_reset();
    metrics_set("up", {}, 1);
    const std::string body = "# TYPE up untyped\nup 1\n";
    const std::string text = "Content-Type: text/plain; charset=utf-8\r\n";
    auto head = [](std::string status, std::string type, std::size_t length,
                   std::string extra = "") {
        return "HTTP/1.1 " + status + "\r\n" + type + "Content-Length: " + std::to_string(length) +
               "\r\n" + extra + "Connection: close\r\n\r\n";
    };
    const std::string prometheus = "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n";
    std::string problem;
    const health_check health = [&problem] { return problem; };
    struct row {
        std::string request, problem, reply;
    } const rows[] = {
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "",
         head("200 OK", prometheus, body.size()) + body},
        {"GET /metrics?x=1 HTTP/1.0", "", head("200 OK", prometheus, body.size()) + body},
        {"GET http://127.0.0.1:9/metrics HTTP/1.1", "",
         head("200 OK", prometheus, body.size()) + body},
        {"HEAD /metrics HTTP/1.1", "", head("200 OK", prometheus, body.size())},
        {"GET /health HTTP/1.1", "", head("200 OK", text, 3) + "ok\n"},
        {"GET /health HTTP/1.1", "kernel link down\n",
         head("503 Service Unavailable", text, 17) + "kernel link down\n"},
        {"POST /metrics HTTP/1.1", "",
         head("405 Method Not Allowed", text, 19, "Allow: GET, HEAD\r\n") + "method not allowed\n"},
        {"GET /metricsx HTTP/1.1", "", head("404 Not Found", text, 10) + "not found\n"},
        {"GET /metrics", "", head("400 Bad Request", text, 12) + "bad request\n"},
        {"GET /metrics HTTP/1.1\r\n" + std::string(METRICS_MAX_REQUEST, 'x'), "",
         head("400 Bad Request", text, 12) + "bad request\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.request.substr(0, 60));
        problem = r.problem;
        EXPECT_EQ(metrics_reply(r.request, health), r.reply);
    }
    metrics_reset();
}

}  // namespace
