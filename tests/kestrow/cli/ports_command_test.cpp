// kestrow ports, handshake and burn telling why a port cannot be used: a
// station announcing virtual boards, and a user without access to a device.
#include "tests/kestrow/cli/run_program.h"
#include "tests/kestrow/config/temp_folder.h"
#include "tests/kestrow/engine/pseudo_terminals.h"

#include <grp.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include <cstdlib>
#include <sstream>

namespace kestrow::cli {
namespace {

using testing::RunKestrow;
using testing::RunResult;

class PortsCommandTest : public ::testing::Test {
protected:
    std::string Terminal() { return terminals_.Open(); }
    std::string Station() const { return "--station '" + folder.Dir() + "'"; }

    config::testing::TempFolder folder;
    engine::testing::PseudoTerminals terminals_;
};

TEST_F(PortsCommandTest, ListsAnnouncedBoardsWithTheirState) {
    const std::string board = Terminal();
    const std::string gone = folder.Path("gone");
    folder.Write("virtual_ports.txt", board + "\n" + gone + "\n");

    RunResult r = RunKestrow("ports " + Station());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find(board + "  virtual board\n"), std::string::npos) << r.output;
    const std::string missing = gone + " is missing (not plugged in, renumbered, or a wrong name)";
    EXPECT_NE(r.output.find(gone + "  missing: " + missing + "\n"), std::string::npos) << r.output;

    r = RunKestrow("ports --json " + Station());
    EXPECT_EQ(r.status, 0) << r.output;
    std::istringstream lines(r.output);
    std::map<std::string, nlohmann::json> records;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] == '{') records[nlohmann::json::parse(line)["port"]] = nlohmann::json::parse(line);
    ASSERT_TRUE(records.count(board)) << r.output;
    EXPECT_EQ(records[board]["state"], "virtual board");
    EXPECT_EQ(records[board]["problem"], "");
    EXPECT_EQ(records[gone]["state"], "missing");
}

// On a fresh install serial devices belong to the dialout group, which the
// station's user is not in yet: every front says so, and what to do.
TEST_F(PortsCommandTest, PortWithoutPermissionIsToldWithTheGroupToJoin) {
    std::string why;
    const std::string nobody = testing::AsNobody(why);
    if (nobody.empty()) GTEST_SKIP() << "cannot test as an unprivileged user: " << why;
    const group* dialout = ::getgrnam("dialout");
    if (dialout == nullptr) GTEST_SKIP() << "this system has no dialout group";
    // A device node of our own for a pseudo-terminal, owned as a serial adapter's is.
    struct stat terminal {};
    ASSERT_EQ(::stat(Terminal().c_str(), &terminal), 0);
    const std::string node = folder.Path("ttyUSB0");
    if (::mknod(node.c_str(), S_IFCHR | 0660, terminal.st_rdev) != 0)
        GTEST_SKIP() << "cannot make a device node here (no CAP_MKNOD)";
    ASSERT_EQ(::chown(node.c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(::chmod(node.c_str(), 0660), 0);
    const char* source = std::getenv("KESTROW_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    std::filesystem::copy(std::string(source) + "/station", folder.Dir(), std::filesystem::copy_options::recursive);
    folder.Write("virtual_ports.txt", node + "\n");
    const std::string problem =
        "no permission to open " + node + "; add the station's user to the dialout group (then log in again)";

    RunResult r = RunKestrow("ports " + Station(), nobody);
    EXPECT_NE(r.output.find(node + "  no permission: " + problem + "\n"), std::string::npos) << r.output;
    const bool anyUsable = r.output.find("  usable") != std::string::npos;  // a world-writable port of this machine
    EXPECT_EQ(r.status, anyUsable ? 0 : 1) << r.output;

    r = RunKestrow("handshake --timeout 1 --port '" + node + "'", nobody);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("handshake: " + problem + "\n"), std::string::npos) << r.output;

    // The station tells it once and keeps trying about once a second.
    r = RunKestrow("burn --timeout 3 --port '" + node + "' " + Station(), nobody);
    EXPECT_EQ(r.status, 3) << r.output;
    const std::string warning = "warning: " + problem + "\n";
    const std::size_t first = r.output.find(warning);
    ASSERT_NE(first, std::string::npos) << r.output;
    EXPECT_EQ(r.output.find(warning, first + 1), std::string::npos) << r.output;
}

}  // namespace
}  // namespace kestrow::cli
