// kestrow disk-image: what the build cannot take is refused before anything
// is written, with exit 2, the maker's own text and its cause on the next
// line, and whatever stands at the output stays as it was.
#include "tests/kestrow/cli/run_program.h"
#include "tests/kestrow/config/temp_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <vector>

namespace kestrow::cli {
namespace {

TEST(DiskImageCommand, RefusalsExitTwoWithTheirCauseAndReplaceNothing) {
    namespace fs = std::filesystem;
    config::testing::TempFolder folder;
    folder.Write("src/a.txt", std::string(3 << 20, 'a'));  // 3 MiB
    folder.Write("previous.img", "previous image");
    ASSERT_EQ(::mkfifo(folder.Path("pipe.img").c_str(), 0644), 0);
    const bool node = ::mknod(folder.Path("node.img").c_str(), S_IFCHR | 0644, ::makedev(1, 3)) == 0;
    const std::string src = folder.Path("src");
    struct Case {
        std::string args;
        std::string lines;  // the output from its start
    };
    std::vector<Case> cases = {
        {"--source '" + src + "' --output '" + folder.Path("pipe.img") + "' --capacity 8 --page-size 512",
         "Failed to make Image!\ncannot replace " + folder.Path("pipe.img") + ": it is a named pipe, not a regular file\n"},
        {"--source '" + src + "' --output '" + folder.Path("previous.img") + "' --capacity 0 --page-size 512",
         "Configuration info error!\nCapacity(MByte) \"0\" is not a whole number from 1 to 4294967295\n"},
        {"--source '" + src + "' --output '" + folder.Path("previous.img") + "' --capacity 2 --page-size 512",
         "Getting folder info...\nLow capacity size!\nthe source's files hold 3145728 bytes; the capacity is 2 MiB "
         "(2097152 bytes)\n"},
        {"--source '" + src + "' --output '" + folder.Path("previous.img") + "' --capacity 3 --page-size 512",
         "Getting folder info...\nLow capacity size!\nthe source's files and folders need "},
        {"--source '" + folder.Path("nope") + "' --output '" + folder.Path("previous.img") +
             "' --capacity 8 --page-size 512",
         "Getting folder info...\nFailed to get folder info!\ncannot list " + folder.Path("nope") +
             ": No such file or directory\n"},
        {"--source '" + src + "' --output '" + folder.Path("previous.img") + "' --capacity 4194304 --page-size 512",
         "Capacity too large for a FAT volume!\nthe volume has more sectors than FAT can count\n"},
        {"--source '" + src + "' --output '" + folder.Path("previous.img") + "' --capacity 8 --page-size 1000",
         "--page-size: 1000 not in {512,1024,2048,4096,8192,16384}\n"},
        {"--source '" + src + "' --output '" + folder.Path("previous.img") + "' --capacity 8 --page-size 512 "
             "--chip-mode 8",
         "--chip-mode: Value 8 not in range 0 to 7\n"},
        {"--source '" + src + "' --output '" + folder.Path("previous.img") + "' --page-size 512",
         "--capacity is required\n"},
    };
    if (node) {
        cases.push_back({"--source '" + src + "' --output '" + folder.Path("node.img") + "' --capacity 8 --page-size 512",
                         "Failed to make Image!\ncannot replace " + folder.Path("node.img") +
                             ": it is a character device, not a regular file\n"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const testing::RunResult r = testing::RunKestrow("disk-image --chip-mode 1 " + c.args);
        EXPECT_EQ(r.status, 2) << r.output;
        EXPECT_EQ(r.output.substr(0, c.lines.size()), c.lines) << r.output;
        EXPECT_EQ(folder.Read("previous.img"), "previous image");
        EXPECT_TRUE(fs::is_fifo(folder.Path("pipe.img")));
        if (node) {
            EXPECT_TRUE(fs::is_character_file(folder.Path("node.img")));
        }
    }
}

}  // namespace
}  // namespace kestrow::cli
