// kestrow handshake: the port names the burn accepts, only the rates the boot
// ROM and the link support, and a reason for every refusal.
#include "tests/kestrow/cli/run_program.h"
#include "tests/kestrow/config/temp_folder.h"
#include "tools/vboard/virtual_board.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

namespace kestrow::cli {
namespace {

std::string FirstLine(const std::string& output) { return output.substr(0, output.find('\n')); }

TEST(HandshakeCommand, RefusesWhatCanNeverWorkWithExitTwoAndTheReason) {
    config::testing::TempFolder folder;
    ASSERT_EQ(::mkfifo(folder.Path("pipe").c_str(), 0644), 0);
    const std::string station = " --station '" + folder.Dir() + "'";
    const std::string rates = "{115200,921600,1000000,1500000,2000000,3000000,4000000,6000000}";
    struct Case {
        std::string args;
        std::string firstLine;
    };
    const Case cases[] = {
        {"--port /dev/ttyUSB0 --baud 0", "--baud: 0 not in " + rates},
        {"--port /dev/ttyUSB0 --baud 1", "--baud: 1 not in " + rates},
        {"--port /dev/ttyUSB0 --baud 4294967295", "--baud: 4294967295 not in " + rates},
        {"--port /dev/ttyUSB0 --baud 115201", "--baud: 115201 not in " + rates},
        {"--port /dev/ttyUSB0 --timeout 0", "--timeout: Value 0 not in range 1 to 3600"},
        {"--port /dev/ttyUSB0 --chip-type 12", "--chip-type: Value 12 not in range 6 to 11"},
        {"--port", "--port: 1 required TEXT missing"},
        {"--port ''", "handshake: no port is named"},
        {"--port /dev/null", "handshake: /dev/null is a character device but no terminal, so not a serial port"},
        {"--port COM0", "handshake: COM0 names no port: COM ports count from COM1"},
        {"--port '" + folder.Dir() + "'", "handshake: " + folder.Dir() + " is a folder, not a serial port"},
        {"--port '" + folder.Path("pipe") + "'", "handshake: " + folder.Path("pipe") + " is a named pipe, not a serial port"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const testing::RunResult r = testing::RunKestrow("handshake" + station + " " + c.args);
        EXPECT_EQ(r.status, 2) << r.output;
        EXPECT_EQ(FirstLine(r.output), c.firstLine) << r.output;
    }
}

// A port whose path holds non-ASCII characters works as it does for the burn.
TEST(HandshakeCommand, PortPathWithNonAsciiCharactersReachesTheBoard) {
    config::testing::TempFolder folder;
    vboard::BoardOptions options;
    options.chipType = 8;
    vboard::VirtualBoard board(options);
    const std::string port = folder.Path("Prüfplatz-端口");
    std::filesystem::create_symlink(board.PortPath(), port);
    const testing::RunResult r = testing::RunKestrow("handshake --station '" + folder.Dir() + "' --port '" + port +
                                                     "' --chip-type 8 --baud 921600 --timeout 20");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("port " + port + " open at 115200 baud"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("handshake complete\n"), std::string::npos) << r.output;
}

}  // namespace
}  // namespace kestrow::cli
