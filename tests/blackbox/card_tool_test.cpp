// kanzo_zul-card as installers run it: plates as arguments or a list on
// standard input, and the plates the daemon would refuse.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/golden.h"
#include "tests/harness/daemon_harness.h"

namespace {

const char* const kCardTool = CARD_TOOL_BINARY;

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

ToolRun runTool(const TempDir& dir, const std::vector<std::string>& args,
                const std::string& input) {
    dir.write("input", input);
    ProcessOptions options = programOptions({kCardTool});
    options.args.insert(options.args.end(), args.begin(), args.end());
    options.input = dir.file("input");
    ChildProcess tool(options);
    const int status = exitCode(tool.waitExit());
    return {status, tool.output(), tool.errorText()};
}

TEST(CardToolTest, RunsPrintWhatTheirGoldenCasesSay) {
    TempDir dir;
    for (auto& [line, text] : goldenCases("card-tool-runs.txt")) {
        const int status = text.count('!') ? 1 : 0;
        const ToolRun run = runTool(dir, linesOf(text['$']), text['>']);
        EXPECT_EQ(joined(run.out), text['<']) << line;
        EXPECT_EQ(joined(run.err), text['!']) << line;
        EXPECT_EQ(run.status, status) << line;
    }
}

TEST(CardToolTest, PlatesGiveTheLastFourBytesOfTheirSha1InHexAndDecimal) {
    std::vector<std::string> plates;
    std::string list, expected;
    for (auto& [line, text] : goldenCases("sha1.txt")) {
        const std::string& message = text['>'];
        if (message.empty() || message.find_first_of(std::string(" \0", 2)) != std::string::npos)
            continue;  // no plate, or not the plate digested
        const std::string card = text['<'].substr(32);
        plates.push_back(message);
        list += message + "\n";
        expected += message + "\t" + card + "\t" + std::to_string(std::stoul(card, nullptr, 16));
        expected += "\n";
    }
    TempDir dir;
    EXPECT_EQ(runTool(dir, plates, "").out, expected);
    EXPECT_EQ(runTool(dir, {}, list).out, expected);
}

TEST(CardToolTest, ACardListThatCannotBeWrittenFails) {
    ChildProcess tool(
        programOptions({"/bin/sh", "-c", std::string(kCardTool) + " AB123CD >/dev/full"}));
    EXPECT_EQ(1, exitCode(tool.waitExit()));
    EXPECT_EQ(tool.errorText(),
              "kanzo_zul-card: cannot write the cards: No space left on device\n");
}

}  // namespace
