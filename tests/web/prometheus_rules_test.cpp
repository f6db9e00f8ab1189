// The fleet's Prometheus files as shipped (deploy/prometheus): the scrape
// configuration passes promtool's check once an operator's companion files
// are beside it, and every alert rule passes its unit tests, which exist for
// each rule.
#include <filesystem>

#include <gtest/gtest.h>

#include "test_support.h"
#include "web/promtool.h"

TEST(PrometheusDeploy, TheConfigurationChecksAndEveryRulePassesItsUnitTests) {
    TempDir dir;
    const std::string prom = dir / "prometheus";
    std::filesystem::copy(std::string(ORVAL_SOURCE_DIR) + "/deploy/prometheus", prom,
                          std::filesystem::copy_options::recursive);
    writeFile(prom + "/orval-password", "");
    writeFile(prom + "/orval-ca.pem", "");
    std::filesystem::create_directories(prom + "/targets-https");
    writeFile(prom + "/targets/boxes.yml", "- targets: [\"127.0.0.1:8888\"]\n  labels:\n    box: a\n");

    PromtoolCheck config = promtoolRun(prom, "check config prometheus.yml");
    ORVAL_REQUIRE_PROMTOOL(config);
    EXPECT_EQ(0, config.status) << config.output;
    PromtoolCheck rules = promtoolRun(prom, "test rules orval-rules.test.yml");
    EXPECT_EQ(0, rules.status) << rules.output;
    EXPECT_NE(std::string::npos, rules.output.find("SUCCESS")) << rules.output;

    const std::string ruleFile = readFile(prom + "/orval-rules.yml");
    const std::string tests = readFile(prom + "/orval-rules.test.yml");
    size_t count = 0;
    for (size_t at = ruleFile.find("- alert: "); at != std::string::npos; at = ruleFile.find("- alert: ", at + 1)) {
        std::string name = ruleFile.substr(at + 9, ruleFile.find('\n', at) - at - 9);
        EXPECT_NE(std::string::npos, tests.find("alertname: " + name + "\n")) << name << " has no unit test";
        count++;
    }
    EXPECT_EQ(7u, count);
}
