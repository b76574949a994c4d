// Where the station keeps its files: --station, $KESTROW_STATION, the user's
// data folder of an installed program (made from its sample station), or the
// program's own folder in a build tree.
#include "kestrow/config/station_folder.h"
#include "tests/kestrow/config/temp_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>

namespace kestrow::config {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

// Sets or clears an environment variable for one test and restores it after.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// An installed layout (usr/bin beside usr/share/kestrow/station with a small
// sample station) and a home folder, both in a fresh folder.
class StationFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        root.Write("usr/share/kestrow/station/config.txt", "sample config");
        root.Write("usr/share/kestrow/station/ramconfig/table.txt", "sample table");
        // Installed files are read-only for the user; the copies must not be.
        ::chmod(root.Path("usr/share/kestrow/station/config.txt").c_str(), 0444);
        fs::create_directories(root.Path("home"));
    }
    std::string Installed() const { return root.Path("usr/bin"); }
    std::string Sample() const { return root.Path("usr/share/kestrow/station"); }
    std::string UserStation() const { return root.Path("home/.local/share/kestrow/station"); }

    TempFolder root;
    ScopedEnv noStation{"KESTROW_STATION", std::nullopt};
    ScopedEnv noDataHome{"XDG_DATA_HOME", std::nullopt};
    ScopedEnv home{"HOME", root.Path("home")};
};

TEST_F(StationFolderTest, FolderComesFromTheOptionTheEnvironmentTheUserOrTheProgram) {
    fs::create_directories(root.Path("build/kestrow/cli"));
    struct Case {
        const char* what;
        std::string given, environment, program;
        std::string folder, reason;
    } cases[] = {
        {"--station wins over everything", root.Path("mine"), root.Path("env"), Installed(), root.Path("mine"),
         "given with --station"},
        {"$KESTROW_STATION wins over the installed default", "", root.Path("env/"), Installed(), root.Path("env"),
         "given in $KESTROW_STATION"},
        {"a build tree uses the program's folder", "", "", root.Path("build/kestrow/cli"),
         root.Path("build/kestrow/cli"), "the program's own folder (no sample station is installed beside the program)"},
        {"an installed program uses the user's data folder", "", "", Installed(), UserStation(),
         "the user's data folder of the installed program, made now from the sample station " + Sample()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(UserStation());
        ScopedEnv station("KESTROW_STATION",
                          c.environment.empty() ? std::nullopt : std::optional<std::string>(c.environment));
        StationFolderChoice choice = ChooseStationFolder(c.given, c.program);
        EXPECT_EQ(choice.folder, c.folder);
        EXPECT_EQ(choice.reason, c.reason);
        EXPECT_EQ(choice.error, "");
        EXPECT_EQ(fs::exists(UserStation()), c.folder == UserStation()) << "made only when it is used";
    }
}

TEST_F(StationFolderTest, FirstUseCopiesTheSampleStationWritable) {
    ScopedEnv dataHome("XDG_DATA_HOME", root.Path("data"));
    StationFolderChoice choice = ChooseStationFolder("", Installed());
    const std::string folder = root.Path("data/kestrow/station");
    ASSERT_EQ(choice.folder, folder);
    EXPECT_EQ(choice.error, "");
    EXPECT_EQ(root.Read("data/kestrow/station/config.txt"), "sample config");
    EXPECT_EQ(root.Read("data/kestrow/station/ramconfig/table.txt"), "sample table");
    struct stat st {};
    ASSERT_EQ(::stat((folder + "/config.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0600, 0600u) << std::oct << st.st_mode;
    // Nothing but the station is left in its parent: the temporary copy was renamed into place.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(root.Path("data/kestrow"))) names.push_back(entry.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"station"});
}

TEST_F(StationFolderTest, DataHomeThatIsNotAnAbsolutePathIsIgnored) {
    ScopedEnv dataHome("XDG_DATA_HOME", "relative/data");
    EXPECT_EQ(ChooseStationFolder("", Installed()).folder, UserStation());
    EXPECT_EQ(root.Read("home/.local/share/kestrow/station/config.txt"), "sample config");
}

TEST_F(StationFolderTest, AnExistingStationIsKeptAndAnEmptyOneFilled) {
    root.Write("home/.local/share/kestrow/station/config.txt", "the operator's config");
    StationFolderChoice kept = ChooseStationFolder("", Installed());
    EXPECT_EQ(kept.reason, "the user's data folder of the installed program");
    EXPECT_EQ(root.Read("home/.local/share/kestrow/station/config.txt"), "the operator's config");
    EXPECT_FALSE(fs::exists(UserStation() + "/ramconfig"));

    fs::remove_all(UserStation());
    fs::create_directories(UserStation());
    StationFolderChoice filled = ChooseStationFolder("", Installed());
    EXPECT_EQ(filled.error, "");
    EXPECT_EQ(root.Read("home/.local/share/kestrow/station/config.txt"), "sample config");
}

TEST_F(StationFolderTest, FailedCopyLeavesNoHalfStationAndSaysWhy) {
    struct Case {
        const char* what;
        std::function<void()> breakIt;
        std::string dataHome;
        std::string errorStart;
    } cases[] = {
        {"the data folder cannot be created", [this] { root.Write("blocked", "a file, not a folder"); },
         root.Path("blocked"), "cannot create " + root.Path("blocked/kestrow")},
        // A link to nothing cannot be copied: the copy stops after the files before it.
        {"the copy stops half way", [this] { fs::create_symlink("missing.bin", Sample() + "/zz.bin"); },
         root.Path("data"), "cannot copy " + Sample() + " to " + root.Path("data/kestrow/station") + ": "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.breakIt();
        ScopedEnv dataHome("XDG_DATA_HOME", c.dataHome);
        StationFolderChoice choice = ChooseStationFolder("", Installed());
        EXPECT_EQ(choice.error.rfind(c.errorStart, 0), 0u) << choice.error;
        EXPECT_NE(choice.reason.find("it cannot be made from the sample station: " + choice.error), std::string::npos)
            << choice.reason;
        EXPECT_FALSE(fs::exists(choice.folder));
        if (fs::is_directory(root.Path("data/kestrow"))) {
            EXPECT_TRUE(fs::is_empty(root.Path("data/kestrow"))) << "the temporary copy is removed";
        }
    }
}

}  // namespace
}  // namespace kestrow::config
