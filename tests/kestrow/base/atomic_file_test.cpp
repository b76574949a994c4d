// Replacing a file through a temporary beside it: permissions, links, two
// writers at once and failures.
#include "kestrow/base/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace kestrow::base {
namespace {

namespace fs = std::filesystem;

class AtomicFileTest : public ::testing::Test {
protected:
    AtomicFileTest() {
        dir_ = fs::temp_directory_path() /
               ("kw_atomic_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        oldMask_ = ::umask(022);
    }
    ~AtomicFileTest() override {
        ::umask(oldMask_);
        fs::remove_all(dir_);
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    void Write(const std::string& name, const std::string& text, unsigned mode) const {
        std::ofstream(Path(name), std::ios::binary) << text;
        fs::permissions(Path(name), fs::perms(mode));
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(Path(name), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    unsigned Mode(const std::string& name) const {
        struct stat st{};
        EXPECT_EQ(::stat(Path(name).c_str(), &st), 0) << name;
        return st.st_mode & 07777;
    }
    std::size_t Entries() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }

    fs::path dir_;
    mode_t oldMask_;
};

TEST_F(AtomicFileTest, ModeOfNewAndExistingFiles) {
    struct Case {
        const char* what;
        int existingMode;  // -1: no file yet
        unsigned newFileMode;
        unsigned expected;
    };
    const Case cases[] = {
        {"new file: 0666 less the umask", -1, kDefaultFileMode, 0644},
        {"new private file", -1, kPrivateFileMode, 0600},
        {"existing file keeps its mode", 0640, kDefaultFileMode, 0640},
        {"existing private file stays private", 0600, kDefaultFileMode, 0600},
        {"existing open file stays open", 0664, kPrivateFileMode, 0664},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(Path("state.txt"));
        if (c.existingMode >= 0) Write("state.txt", "old", static_cast<unsigned>(c.existingMode));
        std::string error;
        ASSERT_TRUE(WriteFileAtomically(Path("state.txt"), "new content", error, c.newFileMode)) << error;
        EXPECT_EQ(Read("state.txt"), "new content");
        EXPECT_EQ(Mode("state.txt"), c.expected);
        EXPECT_EQ(Entries(), 1u);  // no temporary left
    }
}

TEST_F(AtomicFileTest, LinksAtTheTargetAreFollowedToTheirFile) {
    fs::create_directories(dir_ / "real");
    Write("real/config.txt", "old", 0640);
    fs::create_symlink("real/config.txt", dir_ / "middle");
    fs::create_symlink("middle", dir_ / "config.txt");
    std::string error;
    ASSERT_TRUE(WriteFileAtomically(Path("config.txt"), "new", error)) << error;
    EXPECT_TRUE(fs::is_symlink(dir_ / "config.txt"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "middle"));
    EXPECT_EQ(Read("real/config.txt"), "new");
    EXPECT_EQ(Mode("real/config.txt"), 0640u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "real"), fs::directory_iterator()), 1);

    // A link to a file not there yet makes that file.
    fs::create_symlink("real/later.txt", dir_ / "later");
    ASSERT_TRUE(WriteFileAtomically(Path("later"), "made", error)) << error;
    EXPECT_TRUE(fs::is_symlink(dir_ / "later"));
    EXPECT_EQ(Read("real/later.txt"), "made");
}

// Each writer has a temporary of its own: the last to commit wins whole, and
// neither disturbs the other's file while it is being written.
TEST_F(AtomicFileTest, TwoWritersAtOnceEachWriteAWholeFile) {
    Write("burn.ini", "old", 0644);
    AtomicFile first(Path("burn.ini")), second(Path("burn.ini"));
    std::string error;
    ASSERT_TRUE(first.Open(error)) << error;
    ASSERT_TRUE(second.Open(error)) << error;
    EXPECT_NE(first.Temporary(), second.Temporary());
    EXPECT_EQ(fs::path(first.Temporary()).parent_path(), dir_);
    EXPECT_EQ(fs::path(first.Temporary()).filename().string()[0], '.');
    ASSERT_TRUE(first.Write("first writer", error));
    ASSERT_TRUE(second.Write("second writer, longer", error));
    ASSERT_TRUE(first.Commit(error)) << error;
    EXPECT_EQ(Read("burn.ini"), "first writer");
    ASSERT_TRUE(second.Commit(error)) << error;
    EXPECT_EQ(Read("burn.ini"), "second writer, longer");
    EXPECT_EQ(Entries(), 1u);
}

TEST_F(AtomicFileTest, FailuresLeaveTheTargetAndNoTemporary) {
    Write("kept.txt", "kept", 0644);
    fs::create_directories(dir_ / "folder");
    ASSERT_EQ(::mkfifo(Path("pipe").c_str(), 0644), 0);
    fs::create_symlink("pipe", dir_ / "to-pipe");
    // A device node can be made only with the privilege to; null's numbers are 1, 3.
    const bool node = ::mknod(Path("node").c_str(), S_IFCHR | 0644, ::makedev(1, 3)) == 0;
    struct Case {
        const char* what;
        std::string path;
        std::string reason;
    };
    std::vector<Case> cases = {
        {"a folder at the target", Path("folder"), "Is a directory"},
        {"a missing folder", Path("missing/file.txt"), "No such file or directory"},
        {"a named pipe", Path("pipe"), "cannot replace " + Path("pipe") + ": it is a named pipe, not a regular file"},
        {"a link to a named pipe", Path("to-pipe"), "cannot replace " + Path("pipe") + ": it is a named pipe"},
    };
    if (node) cases.push_back({"a device node", Path("node"), "it is a character device, not a regular file"});
    const std::size_t entries = Entries();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string error;
        EXPECT_FALSE(WriteFileAtomically(c.path, "new", error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(Entries(), entries);
    }
    EXPECT_TRUE(fs::is_fifo(Path("pipe")));
    if (node) {
        EXPECT_TRUE(fs::is_character_file(Path("node")));
    }
    // Discarded without a commit: the old file stays.
    {
        AtomicFile file(Path("kept.txt"));
        std::string error;
        ASSERT_TRUE(file.Open(error));
        ASSERT_TRUE(file.Write("never", error));
    }
    EXPECT_EQ(Read("kept.txt"), "kept");
    EXPECT_EQ(Entries(), entries);
}

}  // namespace
}  // namespace kestrow::base
