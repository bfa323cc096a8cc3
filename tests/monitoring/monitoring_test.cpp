// The site's monitoring against the running daemon: the shipped alerting rules
// and Grafana dashboard, checked with Debian's promtool, and Prometheus itself
// (in a scratch directory, on loopback ports of its own) scraping the daemon
// through nginx with the shipped snippet. jq takes the dashboard's queries out
// of its JSON and reads Prometheus' answers.
#include <poll.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/harness/daemon_harness.h"

namespace {

using ::testing::MatchesRegex;

const std::string kRules = KANZO_DEPLOY "/kanzo_zul-alerts.yml";
const std::string kDashboard = KANZO_DEPLOY "/kanzo_zul-grafana.json";

// A tool's exit code and what it wrote, standard output first.
std::pair<int, std::string> runTool(const std::vector<std::string>& args,
                                    const std::string& input = "") {
    ProcessOptions options = programOptions(args);
    options.input = input;
    ChildProcess tool(options);
    const int code = exitCode(tool.waitExit(deadlineIn(std::chrono::seconds(30))));
    return {code, tool.output() + tool.errorText()};
}

// jq's raw output for filter on the JSON file, without the last line end.
std::string jq(const std::string& filter, const std::string& file) {
    std::string out = runTool({"/usr/bin/jq", "-r", filter, file}).second;
    if (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

// Every name of the daemon's metrics that text mentions.
std::set<std::string> metricNames(const std::string& text) {
    static const std::regex name("kanzo_zul_[a-z0-9_]+");
    return {std::sregex_token_iterator(text.begin(), text.end(), name),
            std::sregex_token_iterator()};
}

// Debian's Prometheus in dir with its own configuration and storage, on
// 127.0.0.1:port, scraping the application's URL on webPort every second the
// way the README's scrape configuration does, the shipped rules evaluated
// every second.
class Prometheus {
  public:
    Prometheus(const TempDir& dir, int port, int webPort)
        : dir_(dir),
          url_("http://127.0.0.1:" + std::to_string(port)),
          process_(options(dir, port, webPort)) {
        const Deadline deadline = deadlineIn(std::chrono::seconds(30));
        while (runTool({"/usr/bin/curl", "-sf", "-o", "/dev/null", url_ + "/-/ready"}).first != 0) {
            if (!process_.running() || SteadyClock::now() > deadline)
                throw std::runtime_error("Prometheus did not start: " + process_.errorText());
            poll(nullptr, 0, 100);
        }
    }

    // jq's filter on the HTTP API's answer at path, with the PromQL query if any.
    std::string api(const std::string& path, const std::string& filter,
                    const std::string& query = "") {
        std::vector<std::string> curl = {"/usr/bin/curl", "-s", "-G", "-o", dir_.file("api.json")};
        if (!query.empty())
            curl.insert(curl.end(), {"--data-urlencode", "query=" + query});
        curl.push_back(url_ + path);
        runTool(curl);
        return jq(filter, dir_.file("api.json"));
    }

    // True once the filtered answer is wanted; asks twice a second.
    bool waitFor(const std::string& wanted, Deadline deadline, const std::string& path,
                 const std::string& filter, const std::string& query = "") {
        while (api(path, filter, query) != wanted) {
            if (SteadyClock::now() > deadline)
                return false;
            poll(nullptr, 0, 500);
        }
        return true;
    }

  private:
    static ProcessOptions options(const TempDir& dir, int port, int webPort) {
        std::string config = "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n";
        config += "  evaluation_interval: 1s\nrule_files: ['" + kRules + "']\n";
        config += "scrape_configs:\n  - job_name: kanzo_zul\n    metrics_path: /kanzo_zul/api\n";
        config += "    params: {metrics: ['']}\n";
        config +=
            "    static_configs: [{targets: ['127.0.0.1:" + std::to_string(webPort) + "']}]\n";
        dir.write("prometheus.yml", config);
        return programOptions({"/usr/bin/prometheus", "--config.file=" + dir.file("prometheus.yml"),
                               "--storage.tsdb.path=" + dir.file("prometheus-data"),
                               "--web.listen-address=127.0.0.1:" + std::to_string(port)});
    }

    const TempDir& dir_;
    const std::string url_;
    ChildProcess process_;
};

// The daemon polled by its panel, behind nginx on webPort, scraped by
// Prometheus on webPort + 1.
struct MonitoredSite {
    explicit MonitoredSite(int webPort)
        : nginx(camera.dir, shippedServers(camera.dir, "127.0.0.1:" + std::to_string(webPort),
                                           "127.0.0.1:" + std::to_string(webPort + 2))),
          prometheus(camera.dir, webPort + 1, webPort) {}

    PolledDaemon camera{true};
    Nginx nginx;
    Prometheus prometheus;
};

TEST(MonitoringTest, ShippedRulesPassPromtoolAndTheirUnitTests) {
    const auto [checked, checkOutput] = runTool({"/usr/bin/promtool", "check", "rules", kRules});
    EXPECT_EQ(0, checked) << checkOutput;
    const auto [tested, testOutput] =
        runTool({"/usr/bin/promtool", "test", "rules", KANZO_FIXTURES "/alert-rules-test.yml"});
    EXPECT_EQ(0, tested) << testOutput;
}

// The live text passes promtool's check; the rules use only metrics it has,
// and the dashboard shows every one of them.
TEST(MonitoringTest, EveryMetricTheRulesAndTheDashboardUseIsServed) {
    PolledDaemon camera;
    const TempDir& dir = camera.dir;
    const std::string metrics = webRequest(dir, "/kanzo_zul/api?metrics");
    dir.write("metrics.txt", metrics);
    const auto [checked, output] =
        runTool({"/usr/bin/promtool", "check", "metrics"}, dir.file("metrics.txt"));
    EXPECT_EQ(0, checked) << output;

    const std::set<std::string> served = metricNames(metrics);
    const std::set<std::string> ruled = metricNames(fileText(kRules));
    EXPECT_THAT(ruled, ::testing::Contains("kanzo_zul_reader_polling"));
    for (const std::string& name : ruled)
        EXPECT_EQ(1u, served.count(name)) << name << " in the rules is not served";
    EXPECT_EQ(served, metricNames(fileText(kDashboard)));
}

// Each panel's query, with the dashboard's variables filled in as Grafana
// does, finds series in Prometheus once it has scraped the daemon a few times.
TEST(MonitoringTest, EveryDashboardQueryFindsTheDaemonsFigures) {
    MonitoredSite site(18494);
    Prometheus& prometheus = site.prometheus;
    ASSERT_TRUE(prometheus.waitFor("true", deadlineIn(std::chrono::seconds(30)), "/api/v1/query",
                                   ".data.result[0].value[1] // \"0\" | tonumber >= 3",
                                   "sum_over_time(up{job=\"kanzo_zul\"}[1m])"));
    const std::vector<std::pair<std::string, std::string>> variables = {
        {"$__rate_interval", "1m"}, {"$__range", "1h"}, {"$job", "kanzo_zul"}, {"$instance", ".+"}};
    const std::string found = ".status + \" \" + (.data.result | length | tostring)";
    std::istringstream queries(jq(".. | objects | select(has(\"expr\")) | .expr", kDashboard));
    int count = 0;
    for (std::string query; std::getline(queries, query); ++count) {
        const std::string asked = query;
        for (const auto& [name, value] : variables) {
            for (size_t at; (at = query.find(name)) != std::string::npos;)
                query.replace(at, name.size(), value);
        }
        EXPECT_THAT(prometheus.api("/api/v1/query", found, query),
                    MatchesRegex("success [1-9][0-9]*"))
            << asked;
    }
    EXPECT_GE(count, 10);
}

// The shipped rule as it stands: both readers' alerts fire a minute after the
// panel stops polling, and clear once it polls again.
TEST(MonitoringTest, SilentReaderAlertFiresAfterAMinuteAndClearsWhenPolledAgain) {
    MonitoredSite site(18490);
    Prometheus& prometheus = site.prometheus;
    const std::string states =
        "[.data.alerts[] | select(.labels.alertname == \"KanzoZulReaderNotPolled\") | "
        ".labels.reader + \" \" + .state] | sort | join(\",\")";
    ASSERT_TRUE(prometheus.waitFor("2", deadlineIn(std::chrono::seconds(30)), "/api/v1/query",
                                   ".data.result[0].value[1]",
                                   "sum(kanzo_zul_reader_polling{job=\"kanzo_zul\"})"));
    EXPECT_EQ("", prometheus.api("/api/v1/alerts", states));

    site.camera.stopPanel();
    const Deadline stopped = SteadyClock::now();
    ASSERT_TRUE(prometheus.waitFor("1 firing,2 firing", deadlineIn(std::chrono::seconds(150)),
                                   "/api/v1/alerts", states));
    EXPECT_GE(
        std::chrono::duration_cast<std::chrono::seconds>(SteadyClock::now() - stopped).count(), 60);
    EXPECT_EQ("Reader 1 of 127.0.0.1:18490 not polled by the panel for a minute",
              prometheus.api("/api/v1/alerts",
                             ".data.alerts[] | select(.labels.reader == \"1\") | "
                             ".annotations.summary"));

    site.camera.startPanel();
    EXPECT_TRUE(
        prometheus.waitFor("", deadlineIn(std::chrono::seconds(30)), "/api/v1/alerts", states));
}

}  // namespace
