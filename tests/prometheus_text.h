// A check of the Prometheus text format, as a Prometheus server reads it.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

// The text format as a Prometheus server reads it: HELP and TYPE before the
// samples of a metric, valid names and labels, one sample per series,
// counters named _total. Returns the samples by series.
inline std::map<std::string, double> parsePrometheus(const std::string& text) {
    const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) [^\n]+)");
    const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge))");
    const std::regex sample(
        R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[a-zA-Z_][a-zA-Z0-9_]*="[^"\\\n]*"(,[a-zA-Z_][a-zA-Z0-9_]*="[^"\\\n]*")*\})? (-?[0-9]+(\.[0-9]+)?))");
    std::map<std::string, std::string> types;
    std::set<std::string> helped;
    std::map<std::string, double> samples;
    std::istringstream in(text);
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_match(line, m, help)) {
            EXPECT_TRUE(helped.insert(m[1]).second) << line;
        } else if (std::regex_match(line, m, type)) {
            EXPECT_TRUE(helped.count(m[1])) << line;
            EXPECT_EQ(m[2] == "counter",
                      std::string(m[1]).size() > 6 &&
                          std::string(m[1]).substr(m[1].length() - 6) == "_total")
                << line;
            types[m[1]] = m[2];
        } else if (std::regex_match(line, m, sample)) {
            EXPECT_TRUE(types.count(m[1])) << "no TYPE before " << line;
            EXPECT_TRUE(
                samples.emplace(std::string(m[1]) + std::string(m[2]), std::stod(m[4])).second)
                << "twice: " << line;
        } else {
            ADD_FAILURE() << "not the text format: " << line;
        }
    }
    EXPECT_EQ(text.back(), '\n');
    return samples;
}
