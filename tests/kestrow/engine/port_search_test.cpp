// Port search over scripted ports, and the survey on real files: fixture
// sysfs, /dev and by-id folders whose devices are pseudo-terminals.
#include "engine_fakes.h"
#include "kestrow/config/language_table.h"
#include "kestrow/engine/corvel_link.h"
#include "pseudo_terminals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

namespace kestrow::engine {
namespace {

using testing::FakePorts;

// A station whose rows each watch a port: configured rows keep their ports,
// the others are filled in list order, one row per device.
TEST(PortSearch, FillsEveryRowOncePerDeviceConfiguredPortsFirst) {
    struct Case {
        const char* name;
        FakePorts ports;
        std::vector<std::string> configured;  // entries 0 ... of the table before the search
        std::size_t rows;
        std::vector<std::string> entries;  // the table after it, up to its last port
        std::vector<std::string> listed;
    };
    const Case cases[] = {
        {"rows filled in order", FakePorts().Add("/dev/ttyUSB0").Add("/dev/ttyUSB1").Add("/dev/ttyUSB2"), {}, 2,
         {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2"}, {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2"}},
        {"a configured row keeps its port", FakePorts().Add("/dev/ttyUSB0").Add("/dev/ttyUSB1"),
         {"", "/dev/ttyUSB0"}, 2, {"/dev/ttyUSB1", "/dev/ttyUSB0"}, {"/dev/ttyUSB0", "/dev/ttyUSB1"}},
        {"a by-id name and its device are one port",
         FakePorts().Add("/dev/ttyUSB0", PortState::Usable, "/dev/serial/by-id/usb-A").Add("/dev/ttyUSB1"),
         {"/dev/serial/by-id/usb-A"}, 3, {"/dev/serial/by-id/usb-A", "/dev/ttyUSB1"},
         {"/dev/ttyUSB0", "/dev/serial/by-id/usb-A", "/dev/ttyUSB1"}},
        {"an absent configured port stays and is listed first", FakePorts().Add("/dev/ttyUSB1"),
         {"", "", "/dev/ttyUSB7"}, 3, {"/dev/ttyUSB1", "", "/dev/ttyUSB7"}, {"/dev/ttyUSB7", "/dev/ttyUSB1"}},
        {"a port configured for two rows is kept for the first",
         FakePorts().Add("/dev/ttyUSB0").Add("/dev/ttyUSB1"), {"/dev/ttyUSB0", "/dev/ttyUSB0"}, 2,
         {"/dev/ttyUSB0", "/dev/ttyUSB1"}, {"/dev/ttyUSB0", "/dev/ttyUSB1"}},
        {"an unusable port fills no row", FakePorts().Add("/dev/ttyUSB0", PortState::InUse).Add("/dev/ttyS0"), {},
         2, {"/dev/ttyS0"}, {"/dev/ttyS0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PortTable configured{};
        std::copy(c.configured.begin(), c.configured.end(), configured.begin());
        PortTable table;
        PortSearchResult result = SearchStationPorts(c.ports, configured, c.rows, table);
        EXPECT_EQ(std::vector<std::string>(table.begin(), table.begin() + c.entries.size()), c.entries);
        for (std::size_t i = c.entries.size(); i < kPortTableSize; ++i) EXPECT_TRUE(table[i].empty()) << i;
        EXPECT_EQ(result.found, c.listed);
    }
}

TEST(PortSearch, KeepsTheRememberedPortAndListsOnlyUsablePorts) {
    struct Case {
        const char* name;
        FakePorts ports;
        std::string remembered;
        std::vector<std::string> listed;
        int selected;
        std::string entry0;
        std::vector<std::string> problems;
    };
    auto announced = [](FakePorts ports, std::size_t i) {
        ports.ports[i].virtual_board = true;
        return ports;
    };
    auto heldHere = [](FakePorts ports, std::size_t i) {
        ports.ports[i].held_here = true;
        ports.ports[i].condition = {PortState::InUse, "held by this station"};
        return ports;
    };
    const Case cases[] = {
        {"remembered second", FakePorts().Add("/dev/ttyUSB12").Add("/dev/ttyS2"), "/dev/ttyS2",
         {"/dev/ttyUSB12", "/dev/ttyS2"}, 1, "/dev/ttyS2", {}},
        {"remembered absent is kept first", FakePorts().Add("/dev/ttyUSB12").Add("/dev/ttyS2"), "/dev/ttyACM0",
         {"/dev/ttyACM0", "/dev/ttyUSB12", "/dev/ttyS2"}, 0, "/dev/ttyACM0", {}},
        {"names alike at the start", FakePorts().Add("/dev/ttyUSB12").Add("/dev/ttyUSB1"), "/dev/ttyUSB1",
         {"/dev/ttyUSB12", "/dev/ttyUSB1"}, 1, "/dev/ttyUSB1", {}},
        {"by-id name after its device", FakePorts().Add("/dev/ttyUSB0", PortState::Usable, "/dev/serial/by-id/usb-A"),
         "/dev/serial/by-id/usb-A", {"/dev/ttyUSB0", "/dev/serial/by-id/usb-A"}, 1, "/dev/serial/by-id/usb-A", {}},
        {"unusable ports say why",
         FakePorts()
             .Add("/dev/ttyUSB0", PortState::NoPermission)
             .Add("/dev/ttyUSB1", PortState::InUse)
             .Add("/dev/ttyS0"),
         "", {"/dev/ttyS0"}, 0, "/dev/ttyS0",
         {"no permission to open /dev/ttyUSB0; add the station's user to the dialout group (then log in again)",
          "/dev/ttyUSB1 is in use by another program"}},
        {"remembered but forbidden stays selected",
         FakePorts().Add("/dev/ttyUSB0", PortState::NoPermission).Add("/dev/ttyS0"),
         "/dev/ttyUSB0", {"/dev/ttyUSB0", "/dev/ttyS0"}, 0, "/dev/ttyUSB0",
         {"no permission to open /dev/ttyUSB0; add the station's user to the dialout group (then log in again)"}},
        {"a port this station holds is listed", heldHere(FakePorts().Add("/dev/ttyUSB0"), 0), "/dev/ttyUSB0",
         {"/dev/ttyUSB0"}, 0, "/dev/ttyUSB0", {}},
        {"an announced board replaces an absent port", announced(FakePorts().Add("/dev/pts/4").Add("/dev/ttyS0"), 0),
         "COM1", {"/dev/pts/4", "/dev/ttyS0"}, 0, "/dev/pts/4", {}},
        {"nothing and nothing remembered", FakePorts(), "", {}, -1, "", {}},
        {"nothing but the remembered port", FakePorts(), "/dev/ttyUSB0", {"/dev/ttyUSB0"}, 0, "/dev/ttyUSB0", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PortTable table;
        table.fill("stale");
        PortSearchResult result = SearchPorts(c.ports, c.remembered, table);
        EXPECT_EQ(result.found, c.listed);
        EXPECT_EQ(result.selected, c.selected);
        EXPECT_EQ(table[0], c.entry0);
        std::vector<std::string> said;
        for (const PortProblem& problem : result.problems) said.push_back(PortProblemText(problem.port, problem.condition));
        EXPECT_EQ(said, c.problems);
        for (std::size_t i = c.listed.size(); i < kPortTableSize; ++i) EXPECT_TRUE(table[i].empty()) << i;
    }
}

TEST(PortSearch, StopsAtSixteenPortsButKeepsTheRememberedOne) {
    FakePorts ports;
    for (int i = 0; i < 20; ++i) ports.Add("/dev/ttyUSB" + std::to_string(i));
    PortTable table;
    PortSearchResult result = SearchPorts(ports, "", table);
    EXPECT_EQ(result.found.size(), 16u);
    EXPECT_EQ(table[15], "/dev/ttyUSB15");

    result = SearchPorts(ports, "/dev/ttyUSB18", table);
    ASSERT_EQ(result.found.size(), 16u);
    EXPECT_EQ(result.found[0], "/dev/ttyUSB18");
    EXPECT_EQ(result.selected, 0);
    EXPECT_EQ(table[0], "/dev/ttyUSB18");
}

TEST(PortProblemText, SaysWhatTheOperatorCanDoInEitherLanguage) {
    struct Case {
        PortCondition condition;
        std::string text;
        std::string chinese;
    } cases[] = {
        {{PortState::Usable, ""}, "", ""},
        {{PortState::Missing, "No such file or directory"},
         "/dev/ttyUSB0 is missing (not plugged in, renumbered, or a wrong name)",
         "/dev/ttyUSB0 不存在（未插入、编号已变或名称有误）"},
        {{PortState::NoPermission, "Permission denied"},
         "no permission to open /dev/ttyUSB0; add the station's user to the dialout group (then log in again)",
         "无权打开 /dev/ttyUSB0；请把本工作站的用户加入 dialout 组（然后重新登录）"},
        {{PortState::InUse, "lock file /run/lock/LCK..ttyUSB0 of process 42"},
         "/dev/ttyUSB0 is in use by another program (lock file /run/lock/LCK..ttyUSB0 of process 42)",
         "/dev/ttyUSB0 正被其他程序占用 (lock file /run/lock/LCK..ttyUSB0 of process 42)"},
        {{PortState::InUse, ""}, "/dev/ttyUSB0 is in use by another program", "/dev/ttyUSB0 正被其他程序占用"},
        {{PortState::NotSerial, "not a terminal device"}, "/dev/ttyUSB0 is not a serial port", "/dev/ttyUSB0 不是串口"},
        {{PortState::OpenFailed, "Input/output error"}, "cannot open /dev/ttyUSB0: Input/output error",
         "无法打开 /dev/ttyUSB0: Input/output error"},
    };
    config::LanguageTable english, chinese;
    ASSERT_TRUE(english.LoadLanguage(config::LanguageTable::kEnglish));
    ASSERT_TRUE(chinese.LoadLanguage(config::LanguageTable::kChinese));
    // /dev/ttyUSB0 need not exist: without a device to ask, the group is dialout.
    for (const Case& c : cases) {
        EXPECT_EQ(PortProblemText("/dev/ttyUSB0", c.condition), c.text);
        EXPECT_EQ(PortProblemText("/dev/ttyUSB0", c.condition, &english), c.text);
        EXPECT_EQ(PortProblemText("/dev/ttyUSB0", c.condition, &chinese), c.chinese);
    }
    // A port whose name holds the placeholder keeps it.
    EXPECT_EQ(PortProblemText("/dev/%s", {PortState::NoPermission, ""}),
              "no permission to open /dev/%s; add the station's user to the dialout group (then log in again)");
}

// A fixture machine: sysfs, /dev and /dev/serial/by-id folders in the test's
// station folder, whose devices are pseudo-terminals of this test.
class SystemPortsTest : public testing::StationFolderFixture {
protected:
    SystemPortsTest() {
        folders_.sys_class_tty = Path("sys/class/tty");
        folders_.dev = Path("dev");
        folders_.by_id = Path("by-id");
        std::filesystem::create_directories(folders_.sys_class_tty);
        std::filesystem::create_directories(folders_.dev);
        std::filesystem::create_directories(folders_.by_id);
    }
    std::string Terminal() { return terminals_.Open(); }
    // A tty in the fixture sysfs bound to a driver, its /dev node a link to `terminal`.
    void AddTty(const std::string& name, const std::string& terminal, const std::string& usbDevice = "") {
        namespace fs = std::filesystem;
        fs::path device = usbDevice.empty() ? dir_ / "sys/devices/platform" / name
                                            : dir_ / "sys/devices" / usbDevice / (usbDevice + ":1.0") / name;
        fs::create_directories(device / "driver");
        fs::create_directories(dir_ / "sys/class/tty" / name);
        fs::create_directory_symlink(device, dir_ / "sys/class/tty" / name / "device");
        if (!terminal.empty()) fs::create_symlink(terminal, dir_ / "dev" / name);
    }
    void WriteUsbIdentity(const std::string& usbDevice, const std::string& vendor, const std::string& product,
                          const std::string& serial) {
        WriteFile("sys/devices/" + usbDevice + "/idVendor", vendor + "\n");
        WriteFile("sys/devices/" + usbDevice + "/idProduct", product + "\n");
        WriteFile("sys/devices/" + usbDevice + "/serial", serial + "\n");
    }

    CorvelLink link_;
    PortFolders folders_;
    testing::PseudoTerminals terminals_;
};

TEST_F(SystemPortsTest, ListsAnnouncedBoardsThenUsbAdaptersThenOtherTtys) {
    for (const char* name : {"ttyUSB10", "ttyUSB2", "ttyS0", "ttyS1", "ttyACM0"}) AddTty(name, "");
    WriteFile("sys/class/tty/ttyS1/type", "0\n");  // a legacy port with no UART behind it
    std::filesystem::create_directories(dir_ / "sys/class/tty/tty1");  // a console: no driver
    WriteFile(kVirtualPortsFile, "/dev/pts/5\n/dev/pts/9 \n\n" + Path("dev/ttyUSB2") + "\n");
    SystemPorts ports(link_, dir_.string(), folders_);
    EXPECT_EQ(ports.Candidates(), (std::vector<std::string>{"/dev/pts/5", "/dev/pts/9", Path("dev/ttyUSB2"),
                                                            Path("dev/ttyACM0"), Path("dev/ttyUSB10"),
                                                            Path("dev/ttyS0")}));
}

TEST_F(SystemPortsTest, SurveyGivesTheByIdNameTheUsbIdentityAndTheStateOfEachPort) {
    const std::string adapter = Terminal();
    AddTty("ttyUSB0", adapter, "1-3");
    WriteUsbIdentity("1-3", "0403", "6001", "A1B2C3");
    std::filesystem::create_symlink(Path("dev/ttyUSB0"), Path("by-id/usb-Fixture_Serial_A1B2C3-if00-port0"));
    const std::string board = Terminal();
    WriteFile(kVirtualPortsFile, board + "\n" + Path("dev/gone") + "\n");

    SystemPorts ports(link_, dir_.string(), folders_);
    std::vector<PortInfo> survey = ports.Survey();
    ASSERT_EQ(survey.size(), 3u);
    EXPECT_EQ(survey[0].name, board);
    EXPECT_TRUE(survey[0].virtual_board);
    EXPECT_EQ(survey[0].condition.state, PortState::Usable);
    EXPECT_EQ(survey[1].name, Path("dev/gone"));
    EXPECT_EQ(survey[1].condition.state, PortState::Missing);
    const PortInfo& usb = survey[2];
    EXPECT_EQ(usb.name, Path("dev/ttyUSB0"));
    EXPECT_EQ(usb.alias, Path("by-id/usb-Fixture_Serial_A1B2C3-if00-port0"));
    EXPECT_EQ(usb.usb_vendor, "0403");
    EXPECT_EQ(usb.usb_product, "6001");
    EXPECT_EQ(usb.usb_serial, "A1B2C3");
    EXPECT_FALSE(usb.virtual_board);
    EXPECT_EQ(usb.condition.state, PortState::Usable);
    EXPECT_EQ(ports.Inspect(usb.alias).condition.state, PortState::Usable);
}

// Listing a port never opens it: a terminal program's line settings stay.
TEST_F(SystemPortsTest, SurveyLeavesTheLineSettingsOfAPortAlone) {
    const std::string terminal = Terminal();
    AddTty("ttyUSB0", terminal);
    int fd = ::open(terminal.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios before{};
    ASSERT_EQ(::tcgetattr(fd, &before), 0);
    ::cfsetspeed(&before, B9600);
    before.c_lflag |= ICANON | ECHO;
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &before), 0);
    ::close(fd);  // the master keeps the terminal and its settings

    SystemPorts ports(link_, dir_.string(), folders_);
    EXPECT_EQ(ports.Survey().size(), 1u);
    EXPECT_EQ(ports.Inspect(terminal).condition.state, PortState::Usable);

    fd = ::open(terminal.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios after{};
    ASSERT_EQ(::tcgetattr(fd, &after), 0);
    ::close(fd);
    EXPECT_EQ(::cfgetospeed(&after), B9600);
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO), tcflag_t{ICANON | ECHO});
}

TEST_F(SystemPortsTest, LockedPortsAreInUseAndSayByWhom) {
    const std::string terminal = Terminal();
    SystemPorts ports(link_, dir_.string(), folders_);

    // Held by this very program, as the transfer library holds the watched port.
    int mine = ::open(terminal.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(::flock(mine, LOCK_EX | LOCK_NB), 0);
    PortInfo here = ports.Inspect(terminal);
    EXPECT_EQ(here.condition, (PortCondition{PortState::InUse, "held by this station"}));
    EXPECT_TRUE(here.held_here);
    EXPECT_TRUE(here.Listed());
    ::close(mine);

    // Held by another program.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t holder = ::fork();
    if (holder == 0) {
        int fd = ::open(terminal.c_str(), O_RDWR | O_NOCTTY);
        char ok = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? '1' : '0';
        (void)!::write(ready[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, '1');
    std::string comm;
    std::ifstream("/proc/self/comm") >> comm;
    PortInfo other = ports.Inspect(terminal);
    EXPECT_EQ(other.condition,
              (PortCondition{PortState::InUse, "locked by " + comm + " (pid " + std::to_string(holder) + ")"}));
    EXPECT_FALSE(other.held_here);
    EXPECT_FALSE(other.Listed());
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);

    // A terminal program's UUCP lock file.
    ::setenv("KESTROW_LOCK_DIR", dir_.c_str(), 1);
    const std::string lock = Path("LCK.." + terminal.substr(5).replace(3, 1, "_"));
    WriteFile(lock.substr(dir_.string().size() + 1), "      " + std::to_string(::getppid()) + "\n");
    EXPECT_EQ(ports.Inspect(terminal).condition,
              (PortCondition{PortState::InUse, "lock file " + lock + " of process " + std::to_string(::getppid())}));
    ::unsetenv("KESTROW_LOCK_DIR");
}

}  // namespace
}  // namespace kestrow::engine
