// Port search over scripted ports, and the probe and the candidate list on
// real files: a pseudo-terminal, one held by another opener, announced boards.
#include "engine_fakes.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

namespace kestrow::engine {
namespace {

TEST(PortSearch, RemembersTheChosenPortAndSkipsPortsInUse) {
    struct Case {
        const char* name;
        std::vector<std::string> candidates;
        std::map<std::string, int> probes;
        std::string remembered;
        std::vector<std::string> listed;
        int selected;
        std::string entry0;
    };
    const Case cases[] = {
        {"remembered second", {"/dev/ttyS2", "/dev/ttyUSB12"}, {}, "/dev/ttyUSB12",
         {"/dev/ttyS2", "/dev/ttyUSB12"}, 1, "/dev/ttyUSB12"},
        {"remembered gone", {"/dev/ttyS2", "/dev/ttyUSB12"}, {}, "/dev/ttyACM0",
         {"/dev/ttyS2", "/dev/ttyUSB12"}, 0, "/dev/ttyS2"},
        {"names alike at the start", {"/dev/ttyUSB12", "/dev/ttyUSB1"}, {}, "/dev/ttyUSB1",
         {"/dev/ttyUSB12", "/dev/ttyUSB1"}, 1, "/dev/ttyUSB1"},
        {"in use and unusable", {"/dev/a", "/dev/b", "/dev/c"}, {{"/dev/a", kPortInUse}, {"/dev/b", kPortUnusable}},
         "", {"/dev/c"}, 0, "/dev/c"},
        {"nothing", {}, {}, "/dev/ttyS0", {}, -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::FakePorts ports;
        ports.candidates = c.candidates;
        ports.results = c.probes;
        PortTable table;
        table.fill("stale");
        PortSearchResult result = SearchPorts(ports, c.remembered, table);
        EXPECT_EQ(result.found, c.listed);
        EXPECT_EQ(result.selected, c.selected);
        EXPECT_EQ(table[0], c.entry0);
        for (std::size_t i = c.listed.size(); i < kPortTableSize; ++i) EXPECT_TRUE(table[i].empty()) << i;
    }
}

TEST(PortSearch, StopsAtSixteenPorts) {
    testing::FakePorts ports;
    for (int i = 0; i < 20; ++i) ports.candidates.push_back("/dev/ttyUSB" + std::to_string(i));
    PortTable table;
    PortSearchResult result = SearchPorts(ports, "", table);
    EXPECT_EQ(result.found.size(), 16u);
    EXPECT_EQ(table[15], "/dev/ttyUSB15");
}

class SystemPortsTest : public testing::StationFolderFixture {};

TEST_F(SystemPortsTest, ProbesAPseudoTerminalAndSeesAnotherHolder) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string port = ::ptsname(master);
    SystemPorts ports(dir_.string());
    EXPECT_EQ(ports.Probe(port), kPortUsable);
    EXPECT_EQ(ports.Probe(Path("no-such-port")), kPortUnusable);

    int holder = ::open(port.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(ports.Probe(port), kPortInUse);
    ::close(holder);
    ::close(master);
}

TEST_F(SystemPortsTest, ListsAnnouncedBoardsThenDriverBoundTtysInNumberOrder) {
    for (const char* name : {"ttyUSB10", "ttyUSB2", "ttyS0", "tty1"}) {
        std::filesystem::create_directories(dir_ / "sys" / name);
        if (std::string(name) != "tty1") std::filesystem::create_directories(dir_ / "sys" / name / "device" / "driver");
    }
    WriteFile(kVirtualPortsFile, "/dev/pts/5\n/dev/pts/9 \n\n/dev/ttyUSB2\n");
    SystemPorts ports(dir_.string(), Path("sys"));
    EXPECT_EQ(ports.Candidates(), (std::vector<std::string>{"/dev/pts/5", "/dev/pts/9", "/dev/ttyUSB2", "/dev/ttyS0",
                                                            "/dev/ttyUSB10"}));
}

}  // namespace
}  // namespace kestrow::engine
