// Golden files in tests/fixtures, read like a trace: a case is its ">" lines,
// the input, then lines opening with the tag of what they hold and a blank.
// Lines of one tag join with line feeds; "#" lines are comments; texts take
// \n and \xHH escapes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "util/hex.h"

// The line a case starts on, and its texts by tag.
using GoldenCase = std::pair<int, std::map<char, std::string>>;

inline std::vector<GoldenCase> goldenCases(const std::string& name) {
    std::ifstream file(KANZO_FIXTURES "/" + name);
    EXPECT_TRUE(file) << name;
    std::vector<GoldenCase> cases;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        if (line.empty() || line[0] == '#')
            continue;
        std::string text = line.substr(std::min<size_t>(2, line.size()));
        for (size_t at = text.find('\\'); at != std::string::npos; at = text.find('\\', at + 1)) {
            const bool hex = text[at + 1] == 'x';
            const int code = hex ? std::stoi(text.substr(at + 2, 2), nullptr, 16) : '\n';
            text.replace(at, hex ? 4 : 2, 1, static_cast<char>(code));
        }
        if (cases.empty() ||
            (line[0] == '>' && cases.back().second.size() > cases.back().second.count('>')))
            cases.push_back({number, {}});
        std::map<char, std::string>& texts = cases.back().second;
        texts[line[0]] = texts.count(line[0]) ? texts[line[0]] + "\n" + text : text;
    }
    return cases;
}

// The lines of a text joined with line feeds, e.g. a program's arguments.
inline std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Lines as a golden file holds them: without the last line feed.
inline std::string joined(std::string lines) {
    return lines.empty() || lines.back() != '\n' ? lines : lines.substr(0, lines.size() - 1);
}

// The bytes of hexadecimal text; blanks and line feeds between digits are
// passed over.
inline std::vector<uint8_t> bytesOfHex(std::string text) {
    text.erase(std::remove_if(text.begin(), text.end(), isspace), text.end());
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(hexDecode(text, &bytes)) << text;
    return bytes;
}

// Replays a golden file of a settings file's texts: each ">" text parsed into
// settings, then "<" the lines format lays them out in after its heading
// line, or "!" the parse's error.
template <typename Settings>
void expectTextsAsGolden(const std::string& name,
                         bool (*parse)(const std::string&, Settings*, std::string*),
                         std::string (*format)(const Settings&)) {
    for (auto& [line, text] : goldenCases(name)) {
        Settings settings;
        std::string error;
        const bool parsed = parse(text['>'], &settings, &error);
        const std::string lines = format(settings);
        EXPECT_EQ(parsed ? joined(lines.substr(lines.find('\n') + 1)) : error,
                  text[parsed ? '<' : '!'])
            << name << ":" << line;
    }
}
