// Usage errors of every subcommand exit 2 and say what is wrong on their
// first line (the parser's own exit codes never reach the shell).
#include "tests/kestrow/cli/run_program.h"

namespace kestrow::cli {
namespace {

TEST(Usage, EveryUsageErrorExitsTwoAndSaysWhy) {
    struct Case {
        const char* args;
        const char* firstLine;
    };
    const Case cases[] = {
        {"burn --boards 0", "--boards: Value 0 not in range 1 to 1000000"},
        {"burn --boards", "--boards: 1 required UINT:UINT in [1 - 1000000] missing"},
        {"frob", "The following argument was not expected: frob"},
        {"--station /nonexistent/station config", "--station: Directory does not exist: /nonexistent/station"},
        {"config --ram-word 1", "--ram-word requires --export-ram"},
        {"disk-image", "--source is required"},
        {"pools --mac-start", "--mac-start: 1 required TEXT missing"},
        {"ports --json extra", "The following argument was not expected: extra"},
    };
    for (const Case& c : cases) {
        const testing::RunResult r = testing::RunKestrow(c.args);
        EXPECT_EQ(r.status, 2) << c.args << "\n" << r.output;
        EXPECT_EQ(r.output.substr(0, r.output.find('\n')), c.firstLine) << c.args;
    }
}

}  // namespace
}  // namespace kestrow::cli
