// kestrow --version: the program's own version, and the library's beside it.
#include "tests/kestrow/cli/run_program.h"

namespace kestrow::cli {
namespace {

TEST(Version, NamesTheProgramAndTheLibrary) {
    testing::RunResult r = testing::RunKestrow("--version");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "kestrow V1.1.26 (CorvelLib V5.1.20)\n");
}

}  // namespace
}  // namespace kestrow::cli
