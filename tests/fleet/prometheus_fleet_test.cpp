// A real Prometheus server (Debian's, unpacked into the build folder beside
// promtool) runs the shipped configuration (deploy/prometheus) against three
// boxes of the debug build with a fake transcoder: a plain one, one behind a
// password and one serving HTTPS behind the password. Over its HTTP API it
// must see all three up, a channel whose transcoder ended while enabled, and
// a box that was killed, both in the query results and in the alerts; and
// every query of the dashboard (deploy/grafana/orval.json) must be valid and
// return series.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <vector>

#include "service/fleet_fixture.h"
#include "web/json_check.h"
#include "web/promtool.h"
#include "web/web_fixture.h"

using namespace std::chrono_literals;

namespace {

constexpr const char* kPassword = "fleet&pass";
constexpr const char* kEncodedPassword = "fleet%26pass";  // as the session cookie carries it

// Reads what the tests need out of the server's JSON: alerts, rule health,
// the series of a query, and the dashboard's queries.
constexpr const char* kReader = R"(import json, sys
what, path = sys.argv[1], sys.argv[2]
doc = json.load(open(path))
if what == "alerts":
    for a in doc["data"]["alerts"]:
        l = a["labels"]
        print(l["alertname"], l.get("box", "-"), l.get("channel", "-"), a["state"])
elif what == "health":
    for g in doc["data"]["groups"]:
        for r in g["rules"]:
            print(r["name"], r["health"], r.get("lastError", ""))
elif what == "series":
    print(doc["status"])
    for s in doc["data"]["result"]:
        print(" ".join(k + "=" + v for k, v in sorted(s["metric"].items())))
elif what == "queries":
    for v in doc["templating"]["list"]:
        print("variable\t" + v["query"]["query"])
    for p in doc["panels"]:
        for t in p.get("targets", []):
            print("panel\t" + t["expr"])
)";

std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// `text` with every `from` replaced. A shipped file the test shortens must
// hold it (`required`), or the test no longer runs what it means to.
std::string replaced(std::string text, const std::string& from, const std::string& to,
                     bool required = true) {
    size_t count = 0;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
        count++;
    }
    EXPECT_TRUE(count > 0 || !required) << from;
    return text;
}

long number(const std::string& text) { return text.empty() || text == "(none)" ? -1 : std::stol(text); }

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// Box a plays channel 1 and has channel 2, whose transcoder ends at once
// with status 1 (AutoRestart 0: it stays ended, still enabled). Boxes b and
// c play channel 1; c serves HTTPS. Every transcoder that runs reports one
// more second of stream time each second.
class PrometheusFleetTest : public FleetTest {
protected:
    std::string prom = dir / "prometheus";
    int promPort = freePort();
    pid_t promPid = -1;

    std::string transcoderBody() const override {
        return "case \"$line\" in *ends.ts*) echo 'Error: the source ended'; exit 1 ;; esac\n"
               "i=0\nwhile :; do i=$((i+1))\n"
               "printf 'frame=%d size=   1kB time=00:%02d:%02d.00 bitrate= 800.0kbits/s speed=1x\\r' "
               "$i $((i/60%60)) $((i%60))\nsleep 1\ndone";
    }

    void SetUp() override {
        FleetTest::SetUp();
        std::filesystem::create_directories(dir / "media");
        writeFile(dir / "media/live.ts", "");
        writeFile(dir / "media/ends.ts", "");
        writeFile(dir / "reader.py", kReader);
    }
    void TearDown() override {
        if (promPid > 0) {
            kill(promPid, SIGTERM);
            if (waitForEnd(promPid, 10s) < 0 && kill(promPid, SIGKILL) == 0)
                waitpid(promPid, nullptr, 0);
        }
        FleetTest::TearDown();
    }

    std::string live(int channel) const { return channelBlock(channel, dir / "media/live.ts", 1); }

    // The shipped files, with the companions an operator adds, and the
    // durations shortened: scrapes and evaluations every second, every
    // rule's `for` 2 s.
    void writeConfiguration(const std::string& caFile) {
        std::filesystem::copy(std::string(ORVAL_SOURCE_DIR) + "/deploy/prometheus", prom,
                              std::filesystem::copy_options::recursive);
        std::string config = readFile(prom + "/prometheus.yml");
        config = replaced(config, "scrape_interval: 15s", "scrape_interval: 1s");
        config = replaced(config, "evaluation_interval: 15s", "evaluation_interval: 1s");
        writeFile(prom + "/prometheus.yml", config);
        std::string rules = readFile(prom + "/orval-rules.yml");
        rules = replaced(rules, "for: 1m", "for: 2s");
        rules = replaced(rules, "for: 30s", "for: 2s");
        writeFile(prom + "/orval-rules.yml", rules);
        writeFile(prom + "/orval-password", std::string(kEncodedPassword) + "\n");
        std::filesystem::copy_file(caFile, prom + "/orval-ca.pem");
        std::string plain, https;
        for (const Box& box : boxes) {
            std::string entry = "- targets: [\"127.0.0.1:" + std::to_string(box.port) +
                                "\"]\n  labels:\n    box: " + box.name + "\n";
            (box.name == "c" ? https : plain) += entry;
        }
        std::filesystem::create_directories(prom + "/targets-https");
        writeFile(prom + "/targets/boxes.yml", plain);
        writeFile(prom + "/targets-https/boxes.yml", https);
    }

    bool startPrometheus(const std::string& server) {
        promPid = fork();
        if (promPid == 0) {
            int fd = open((dir / "prometheus.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            std::string config = "--config.file=" + prom + "/prometheus.yml";
            std::string storage = "--storage.tsdb.path=" + prom + "/data";
            std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(promPort);
            execl(server.c_str(), server.c_str(), config.c_str(), storage.c_str(), listen.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        return waitUntil([&] { return api("/-/ready").find("Ready") != std::string::npos; }, 30s);
    }

    std::string api(const std::string& path, const std::string& query = "") const {
        std::string command = "curl -s --max-time 5 -G " +
                              shellQuoted("http://127.0.0.1:" + std::to_string(promPort) + path);
        if (!query.empty())
            command += " --data-urlencode " + shellQuoted("query=" + query);
        return commandOutput(command).value_or("");
    }
    std::string read(const std::string& what, const std::string& json) const {
        std::string file = dir / (what + ".json");
        writeFile(file, json);
        return commandOutput("python3 '" + dir / "reader.py" + "' " + what + " '" + file + "'").value_or("");
    }
    // "success" and then one line of sorted labels per series of an instant query.
    std::string series(const std::string& query) const { return read("series", api("/api/v1/query", query)); }
    std::string value(const std::string& query) const {
        return jsonValue(api("/api/v1/query", query), "[\"data\"][\"result\"][0][\"value\"][1]").value_or("(none)");
    }
    bool waitForValue(const std::string& query, const std::string& expected) const {
        return waitUntil([&] { return value(query) == expected; }, 30s);
    }
    // "NAME BOX CHANNEL STATE" per alert, pending or firing.
    std::string alerts() const { return read("alerts", api("/api/v1/alerts")); }
    bool waitForAlert(const std::string& nameBoxChannel) const {
        return waitUntil([&] {
            std::string now = alerts();
            return now.find(nameBoxChannel + " pending") != std::string::npos ||
                   now.find(nameBoxChannel + " firing") != std::string::npos;
        }, 30s);
    }

    // Every query of the dashboard, with its variables set to "all", is
    // valid PromQL and returns series; a variable's label_values(selector,
    // label) query must find series that carry the label.
    void checkDashboardQueries() const {
        std::string queries = read("queries", readFile(std::string(ORVAL_SOURCE_DIR) + "/deploy/grafana/orval.json"));
        ASSERT_FALSE(queries.empty());
        for (const std::string& line : lines(queries)) {
            SCOPED_TRACE(line);
            std::string kind = line.substr(0, line.find('\t'));
            std::string query = line.substr(line.find('\t') + 1);
            query = replaced(query, "$box", ".*", false);
            std::string label;
            if (kind == "variable") {
                ASSERT_TRUE(query.starts_with("label_values(") && query.ends_with(")"));
                size_t comma = query.rfind(',');
                label = query.substr(comma + 1, query.size() - comma - 2);
                label.erase(0, label.find_first_not_of(' '));
                query = query.substr(13, comma - 13);
            } else {
                query = replaced(query, "$channel", ".*", false);
            }
            std::vector<std::string> result = lines(series(query));
            ASSERT_FALSE(result.empty()) << "no answer";
            EXPECT_EQ("success", result[0]);
            EXPECT_GT(result.size(), 1u) << "no series";
            for (size_t i = 1; i < result.size() && !label.empty(); i++)
                EXPECT_NE(std::string::npos, (" " + result[i]).find(" " + label + "=")) << result[i];
        }
    }
};

}  // namespace

TEST_F(PrometheusFleetTest, SeesEveryBoxAnEndedChannelAndAKilledBoxAndServesTheDashboard) {
    Box a = startBox("a", live(1) + channelBlock(2, dir / "media/ends.ts", 1));
    Box b = startBox("b", std::string("LoginPass ") + kPassword + "\n" + live(1));
    const std::string tls = boxRoot("c") + "/etc/orval/tls";
    std::filesystem::create_directories(tls);
    ASSERT_EQ(0, std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
                              "-addext subjectAltName=IP:127.0.0.1 -keyout '" + tls + "/key.pem' -out '" +
                              tls + "/cert.pem' >/dev/null 2>&1").c_str()));
    startBox("c", std::string("LoginPass ") + kPassword + "\n" + live(1));
    writeConfiguration(tls + "/cert.pem");

    PromtoolCheck check = promtoolRun(prom, "check config prometheus.yml");
    ORVAL_REQUIRE_PROMTOOL(check);
    EXPECT_EQ(0, check.status) << check.output;
    std::string server = prometheusServer();
    ASSERT_FALSE(server.empty());
    ASSERT_TRUE(startPrometheus(server)) << readFile(dir / "prometheus.log");

    // All three scraped: the password as a bearer token, HTTPS with the box's certificate.
    ASSERT_TRUE(waitForValue("count(up == 1)", "3")) << series("up") << readFile(dir / "prometheus.log");
    EXPECT_EQ("1", value("up{job=\"orval-https\",box=\"c\"}"));
    ASSERT_TRUE(waitForValue("count(orval_channel_state{channel=\"1\"} == 1)", "3"))
        << series("orval_channel_state");

    // Channel 2 of box a ended and stays so, still enabled: one failed run.
    ASSERT_TRUE(waitForValue("orval_channel_failed_runs_total{box=\"a\",channel=\"2\"}", "1"));
    EXPECT_EQ("success\n__name__=orval_channel_enabled box=a channel=2 instance=127.0.0.1:" +
                  std::to_string(a.port) + " job=orval\n",
              series("orval_channel_enabled == 1 and orval_channel_state != 1"));
    EXPECT_EQ("0", value("sum(orval_channel_failed_runs_total{channel=\"1\"})"));
    EXPECT_TRUE(waitForAlert("OrvalChannelNotRunning a 2")) << alerts();

    // Rate windows need a few samples.
    ASSERT_TRUE(waitUntil([&] { return number(value("count_over_time(up{box=\"a\"}[1m])")) >= 5; }, 30s));
    checkDashboardQueries();

    // Every rule of the file loaded and evaluates without an error.
    std::vector<std::string> health = lines(read("health", api("/api/v1/rules")));
    std::string rules = readFile(prom + "/orval-rules.yml");
    size_t ruleCount = 0;
    for (size_t at = rules.find("- alert: "); at != std::string::npos; at = rules.find("- alert: ", at + 1))
        ruleCount++;
    EXPECT_EQ(ruleCount, health.size());
    for (const std::string& rule : health)
        EXPECT_NE(std::string::npos, rule.find(" ok ")) << rule;

    EXPECT_EQ(std::string::npos, alerts().find("OrvalBoxDown"));
    ASSERT_EQ(0, kill(boxPid(b), SIGKILL));
    waitForEnd(boxPid(b), 10s);
    EXPECT_TRUE(waitForValue("up{box=\"b\"}", "0"));
    EXPECT_TRUE(waitForAlert("OrvalBoxDown b -")) << alerts();
    EXPECT_EQ("1", value("up{box=\"c\"}"));
    EXPECT_EQ(std::string::npos, alerts().find("OrvalChannelNotRunning a 1 "));
}
