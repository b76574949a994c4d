// The disk image maker end to end: field checks, the source checks made
// before writing, and images that fsck.fat passes and mtools extracts to
// exactly the source tree.
#include "kestrow/image/disk_image_maker.h"
#include "kestrow/image/disk_image_source.h"
#include "tests/kestrow/fat/outside_tools.h"

#include <gtest/gtest.h>

#include <mutex>

namespace kestrow::image {
namespace {

namespace fs = std::filesystem;
using kestrow::testing::ExpectImageHolds;
using kestrow::testing::TempFolder;
using kestrow::testing::WriteBytes;

// Records what the maker reports; calls come from the worker thread too.
class RecordingView final : public DiskImageView {
public:
    void ShowStatus(const DiskImageMessage& m) override { Add("status: " + EnglishText(m)); }
    void ShowMessageBox(const DiskImageMessage& m) override { Add("box: " + EnglishText(m)); }
    void SetCreateEnabled(bool enabled) override { Add(enabled ? "create on" : "create off"); }
    void BuildFinished(bool success, bool cancelled, const std::string& detail) override {
        Add(success ? "finished ok" : cancelled ? "finished cancelled" : "finished failed: " + detail);
    }
    std::vector<std::string> Events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::string Last() {
        auto e = Events();
        return e.empty() ? "" : e.back();
    }

private:
    void Add(std::string e) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(e));
    }
    std::mutex mutex_;
    std::vector<std::string> events_;
};

DiskImageFields Fields(const fs::path& source, const fs::path& target, std::uint32_t capacityMiB,
                       std::uint32_t pageSize = 2048) {
    return {source.string(), target.string(), "disk", std::to_string(capacityMiB), std::to_string(pageSize),
            std::to_string(SectorSizeForPage(pageSize))};
}

// Runs one build to its end; returns the maker's result.
bool Build(RecordingView& view, const DiskImageFields& fields, int chipMode = 1) {
    DiskImageMaker maker(view);
    if (!maker.Create(fields, chipMode)) return false;
    maker.Wait();
    return maker.Succeeded();
}

TEST(DiskImageFields, FirstEmptyFieldStopsInTheDialogsOrder) {
    const DiskImageFields full{"src", "dst", "name", "8", "2048", "2048"};
    const std::pair<std::string DiskImageFields::*, const char*> order[] = {
        {&DiskImageFields::source, "Empty source folder!"},   {&DiskImageFields::target, "Empty target folder!"},
        {&DiskImageFields::imageName, "Empty image filename!"}, {&DiskImageFields::capacity, "Empty capacity!"},
        {&DiskImageFields::sectorSize, "Empty sector!"},      {&DiskImageFields::pageSize, "Empty page size!"},
    };
    // Clearing a field and every later one shows that field's message.
    for (std::size_t i = 0; i < std::size(order); ++i) {
        DiskImageFields f = full;
        for (std::size_t k = i; k < std::size(order); ++k) f.*order[k].first = "";
        DiskImageJob job;
        DiskImageMessage problem;
        bool box;
        EXPECT_FALSE(CheckFields(f, 1, job, problem, box));
        EXPECT_FALSE(box);
        EXPECT_EQ(EnglishText(problem), order[i].second);
    }
}

// Each refusal names the field and the value at fault.
TEST(DiskImageFields, SizesThatDoNotFitTogetherAreAConfigurationError) {
    struct Case { const char* capacity; const char* page; const char* sector; const char* cause; } cases[] = {
        {"8", "2048", "2048", nullptr},
        {"8", "16384", "4096", nullptr},
        {"8", "512", "1024", "Page size(Byte) 512 is smaller than the Sector size(Byte) 1024"},
        {"8", "1000", "512", "Page size(Byte) 1000 is not a power of two of at least 512"},
        {"8", "1536", "512", "Page size(Byte) 1536 is not a power of two of at least 512"},
        {"8", "4096", "3072", "Sector size(Byte) 3072 is not 512, 1024, 2048 or 4096"},
        {"8", "8192", "8192", "Sector size(Byte) 8192 is not 512, 1024, 2048 or 4096"},
        {"abc", "2048", "2048", "Capacity(MByte) \"abc\" is not a whole number from 1 to 4294967295"},
        {"0", "2048", "2048", "Capacity(MByte) \"0\" is not a whole number from 1 to 4294967295"},
        {"8x", "2048", "2048", "Capacity(MByte) \"8x\" is not a whole number from 1 to 4294967295"},
        {"8", "2048", "-512", "Sector size(Byte) \"-512\" is not a whole number from 1 to 4294967295"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.capacity) + " " + c.page + " " + c.sector);
        DiskImageJob job;
        DiskImageMessage problem;
        bool box;
        EXPECT_EQ(CheckFields({"s", "t", "n", c.capacity, c.page, c.sector}, 1, job, problem, box), c.cause == nullptr);
        if (c.cause != nullptr) {
            EXPECT_TRUE(box);
            EXPECT_EQ(EnglishText(problem), std::string("Configuration info error!\n") + c.cause);
        }
    }
    DiskImageJob job;
    DiskImageMessage problem;
    bool box;
    EXPECT_FALSE(CheckFields({"s", "t", "a/b", "8", "2048", "2048"}, 1, job, problem, box));
    EXPECT_EQ(EnglishText(problem), "Configuration info error!\nImage filename \"a/b\" holds a \"/\"");
}

TEST(DiskImageFields, TargetFolderGetsItsSeparatorOnce) {
    for (const char* target : {"out/images", "out/images/"}) {
        DiskImageJob job;
        DiskImageMessage problem;
        bool box;
        ASSERT_TRUE(CheckFields({"s", target, "fs", "8", "2048", "2048"}, 1, job, problem, box));
        EXPECT_EQ(job.imagePath, "out/images/fs.img");
    }
}

TEST(DiskImageFields, SectorSizeFollowsThePageSize) {
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {
        {512, 512}, {1024, 1024}, {2048, 2048}, {4096, 4096}, {8192, 4096}, {16384, 4096}};
    for (auto [page, sector] : cases) EXPECT_EQ(SectorSizeForPage(page), sector) << page;
}

TEST(DiskImageProgress, PercentAndElapsedTexts) {
    EXPECT_EQ(FormatPercent(0), "0%");
    EXPECT_EQ(FormatPercent(9), "9%");
    EXPECT_EQ(FormatPercent(10), "10%");
    EXPECT_EQ(FormatPercent(100), "100%");
    EXPECT_EQ(FormatElapsed(0), "00:00:00");
    EXPECT_EQ(FormatElapsed(3723), "01:02:03");
    EXPECT_EQ(ProgressPercent(50, 200), 25);
    EXPECT_EQ(ProgressPercent(0, 0), 0);  // an empty source divides by nothing
    EXPECT_EQ(ProgressPercent(5ull << 32, 6ull << 32), 83);
}

// Thousands of small files and a few large ones, nested folders, long,
// Unicode and empty entries: the plain and the NAND page image both pass
// fsck.fat and extract to the same tree.
TEST(DiskImageBuild, LargeTreeOnPlainAndNandMedia) {
    TempFolder tmp;
    const fs::path src = tmp.path() / "src";
    for (int i = 0; i < 2500; ++i) {
        WriteBytes(src / ("batch " + std::to_string(i % 5)) / ("small file " + std::to_string(i) + ".cfg"),
                   static_cast<std::size_t>(i * 7 % 3000), static_cast<unsigned>(i));
    }
    for (int i = 0; i < 3; ++i) WriteBytes(src / "firmware" / ("part" + std::to_string(i) + ".BIN"), (5u << 20) + i * 4099, 99u + i);
    WriteBytes(src / "Überall" / "日本語のファイル名.txt", 1234, 1);
    WriteBytes(src / "empty.dat", 0, 2);
    fs::create_directories(src / "empty folder");

    struct Medium { int chipMode; std::uint32_t page; } media[] = {{1, 512}, {5, 16384}};
    for (const Medium& m : media) {
        SCOPED_TRACE("chip mode " + std::to_string(m.chipMode));
        RecordingView view;
        DiskImageMaker maker(view);
        const fs::path out = tmp.path() / ("out" + std::to_string(m.chipMode));
        ASSERT_TRUE(maker.Create(Fields(src, out, 64, m.page), m.chipMode)) << view.Last();
        EXPECT_FALSE(maker.Create(Fields(src, out, 64, m.page), m.chipMode));  // one build at a time
        maker.Wait();
        ASSERT_TRUE(maker.Succeeded()) << view.Last();
        const auto events = view.Events();
        EXPECT_EQ(events.front(), "status: Getting folder info...");
        // Create stays off from the start of the build until it has ended.
        const auto off = std::find(events.begin(), events.end(), "create off");
        const auto finished = std::find(events.begin(), events.end(), "finished ok");
        ASSERT_NE(finished, events.end());
        EXPECT_LT(off, finished);
        EXPECT_EQ(std::find(events.begin(), finished, "create on"), finished);
        EXPECT_EQ(events.back(), "create on");
        EXPECT_EQ(maker.Percent(), 100);
        EXPECT_EQ(fs::file_size(out / "disk.img"), 64u << 20);
        ExpectImageHolds(out / "disk.img", src, tmp.path());
    }
}

TEST(DiskImageBuild, EmptySourceGivesAFormattedEmptyImage) {
    TempFolder tmp;
    fs::create_directories(tmp.path() / "src");
    RecordingView view;
    ASSERT_TRUE(Build(view, Fields(tmp.path() / "src", tmp.path() / "out", 1))) << view.Last();
    ExpectImageHolds(tmp.path() / "out" / "disk.img", tmp.path() / "src", tmp.path());
}

// Names beginning with "." are left out; a link to a folder is not followed
// (here it loops back to the source); a link to a file brings the file.
TEST(DiskImageBuild, HiddenNamesAndLinks) {
    TempFolder tmp;
    const fs::path src = tmp.path() / "src";
    WriteBytes(src / "real" / "data.bin", 5000, 1);
    WriteBytes(src / ".git" / "config", 10, 2);
    WriteBytes(src / ".hidden", 10, 3);
    fs::create_directory_symlink(src, src / "real" / "loop");
    fs::create_symlink(src / "real" / "data.bin", src / "copy.bin");
    const fs::path expected = tmp.path() / "expected";
    WriteBytes(expected / "real" / "data.bin", 5000, 1);
    WriteBytes(expected / "copy.bin", 5000, 1);
    RecordingView view;
    ASSERT_TRUE(Build(view, Fields(src, tmp.path() / "out", 4))) << view.Last();
    ExpectImageHolds(tmp.path() / "out" / "disk.img", expected, tmp.path());
}

// What cannot be stored stops the build before an image exists, naming the file.
TEST(DiskImageBuild, RefusesSourcesItCannotStoreBeforeWriting) {
    struct Case { std::vector<std::string> files; std::string message; } cases[] = {
        {{"ok.txt", "sub/what?.txt"}, "box: This name cannot be stored in a FAT image: "},
        {{"sub/Readme.txt", "sub/README.TXT"}, "box: This name cannot be stored in a FAT image: "},
        {{"sub/\xC3\x84.txt", "sub/\xC3\xA4.txt"}, "box: This name cannot be stored in a FAT image: "},
        {{"a|b"}, "box: This name cannot be stored in a FAT image: "},
        {{"trailing dot."}, "box: This name cannot be stored in a FAT image: "},
    };
    for (const Case& c : cases) {
        TempFolder tmp;
        for (const std::string& f : c.files) WriteBytes(tmp.path() / "src" / f, 10, 1);
        RecordingView view;
        EXPECT_FALSE(Build(view, Fields(tmp.path() / "src", tmp.path() / "out", 4)));
        EXPECT_EQ(view.Last().rfind(c.message, 0), 0u) << view.Last();
        EXPECT_NE(view.Last().find((tmp.path() / "src").string()), std::string::npos) << view.Last();
        EXPECT_FALSE(fs::exists(tmp.path() / "out"));
    }
}

// Step by step: the source total against the capacity, then against what the
// formatted volume really holds.
TEST(DiskImageBuild, CapacityEdges) {
    TempFolder tmp;
    const fs::path src = tmp.path() / "src";
    const fs::path out = tmp.path() / "out";
    std::string why;
    const auto layout = PlannedLayout(4 * 1024, 512, why);
    ASSERT_TRUE(layout) << why;
    const std::string volume = "box: Low capacity size!\nthe source's files and folders need " +
                               std::to_string(layout->clusterCount + 1) + " clusters of ";
    struct Case { std::uint64_t size; bool builds; std::string cause; } cases[] = {
        {layout->DataBytes(), true, ""},       // exactly the volume's clusters
        {layout->DataBytes() + 1, false, volume},  // fits the capacity, not the volume
        {4u << 20, false, "box: Low capacity size!\nthe source's files and folders need "},  // exactly the capacity
        {(4u << 20) + 1, false,  // one byte more than the capacity
         "box: Low capacity size!\nthe source's files hold 4194305 bytes; the capacity is 4 MiB (4194304 bytes)"},
    };
    for (const Case& c : cases) {
        fs::remove_all(src);
        fs::remove_all(out);
        WriteBytes(src / "IMAGE.BIN", c.size, 5);
        RecordingView view;
        EXPECT_EQ(Build(view, Fields(src, out, 4, 512)), c.builds) << c.size << " " << view.Last();
        if (c.builds) ExpectImageHolds(out / "disk.img", src, tmp.path());
        else EXPECT_EQ(view.Last().rfind(c.cause, 0), 0u) << view.Last();
        EXPECT_EQ(fs::exists(out / "disk.img"), c.builds);
    }
    // A capacity beyond what FAT can hold (4 TiB in 512-byte sectors) says so.
    RecordingView huge;
    EXPECT_FALSE(Build(huge, Fields(src, out, 4u << 20, 512)));
    ASSERT_EQ(huge.Events().size(), 1u);
    EXPECT_EQ(huge.Last().rfind("box: Capacity too large for a FAT volume!\n", 0), 0u) << huge.Last();
    EXPECT_FALSE(fs::exists(out));
}

// An output folder inside the source: the image being built and an older one
// there stay out of the survey and the copy (neither fills the volume nor
// ends up nested in the new image); the folder itself goes in, empty.
TEST(DiskImageBuild, OutputFolderInsideTheSource) {
    TempFolder tmp;
    const fs::path src = tmp.path() / "src";
    WriteBytes(src / "app" / "main.bin", 300000, 1);
    WriteBytes(src / "out" / "disk.img", 3u << 20, 2);  // an older image, most of the capacity
    const fs::path expected = tmp.path() / "expected";
    WriteBytes(expected / "app" / "main.bin", 300000, 1);
    fs::create_directories(expected / "out");
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        RecordingView view;
        ASSERT_TRUE(Build(view, Fields(src, src / "out", 4))) << view.Last();
        EXPECT_EQ(fs::file_size(src / "out" / "disk.img"), 4u << 20);
        ExpectImageHolds(src / "out" / "disk.img", expected, tmp.path());
    }
}

TEST(DiskImageBuild, MissingSourceAndUnwritableTarget) {
    TempFolder tmp;
    RecordingView missing;
    EXPECT_FALSE(Build(missing, Fields(tmp.path() / "nope", tmp.path() / "out", 4)));
    EXPECT_EQ(missing.Last(), "box: Failed to get folder info!\ncannot list " + (tmp.path() / "nope").string() +
                                  ": No such file or directory");

    WriteBytes(tmp.path() / "src" / "a.txt", 10, 1);
    WriteBytes(tmp.path() / "blocker", 1, 1);  // a file where the target folder should be
    RecordingView view;
    EXPECT_FALSE(Build(view, Fields(tmp.path() / "src", tmp.path() / "blocker" / "out", 4)));
    const auto events = view.Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2].rfind("finished failed: ", 0), 0u);
    EXPECT_EQ(events.back(), "create on");
}

// A cancelled or failed build leaves no image, not even a partial one, and an
// earlier image of the same name stays as it was.
TEST(DiskImageWriter, CancelledBuildLeavesNothingBehind) {
    TempFolder tmp;
    const fs::path image = tmp.path() / "x.img";
    WriteBytes(image, 100, 7);
    WriteBytes(tmp.path() / "big.bin", 1u << 20, 8);
    DiskImageWriter writer;
    ASSERT_TRUE(writer.Create(image.string(), 4096, 512, 2048, 5, "A")) << writer.LastError();
    writer.Cancel();
    EXPECT_FALSE(writer.CopyFile(tmp.path() / "big.bin", "A:/big.bin"));
    EXPECT_TRUE(writer.Cancelled());
    writer.Discard();
    EXPECT_EQ(fs::file_size(image), 100u);
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 2);
}

// The image is built in a new file of its own beside the target: a link put
// where a fixed temporary name would be is never written through, and an
// image made over an older one keeps that file's mode.
TEST(DiskImageWriter, TemporaryIsNewAndTheOlderImageKeepsItsMode) {
    TempFolder tmp;
    const fs::path out = tmp.path() / "out";
    WriteBytes(tmp.path() / "src" / "a.txt", 100, 2);
    WriteBytes(tmp.path() / "victim.bin", 50, 9);
    fs::create_directories(out);
    fs::create_symlink(tmp.path() / "victim.bin", out / "disk.img.partial");
    WriteBytes(out / "disk.img", 10, 4);
    fs::permissions(out / "disk.img", fs::perms(0640));
    RecordingView view;
    ASSERT_TRUE(Build(view, Fields(tmp.path() / "src", out, 4))) << view.Last();
    EXPECT_EQ(fs::file_size(tmp.path() / "victim.bin"), 50u);
    EXPECT_TRUE(fs::is_symlink(out / "disk.img.partial"));
    EXPECT_EQ(fs::status(out / "disk.img").permissions(), fs::perms(0640));
    EXPECT_EQ(fs::file_size(out / "disk.img"), 4u << 20);
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 2);
}

TEST(DiskImageWriter, PageOf16384TakesFourSectorsOf4096) {
    TempFolder tmp;
    WriteBytes(tmp.path() / "in" / "f.bin", 40000, 3);
    DiskImageWriter writer;
    ASSERT_TRUE(writer.Create((tmp.path() / "n.img").string(), 8 * 1024, SectorSizeForPage(16384), 16384, 0, "A"));
    EXPECT_EQ(writer.Drive()->Layout().bytesPerSector, 4096u);
    ASSERT_TRUE(writer.CopyFile(tmp.path() / "in" / "f.bin", "A:/deep/er/f.bin")) << writer.LastError();
    ASSERT_TRUE(writer.Close()) << writer.LastError();
    const fs::path expected = tmp.path() / "expected" / "deep" / "er";
    fs::create_directories(expected);
    fs::copy_file(tmp.path() / "in" / "f.bin", expected / "f.bin");
    ExpectImageHolds(tmp.path() / "n.img", tmp.path() / "expected", tmp.path());
}

TEST(ScanFolder, CountsWhatTheImageTakesWithoutFollowingFolderLinks) {
    TempFolder tmp;
    WriteBytes(tmp.path() / "a" / "one", 10, 1);
    WriteBytes(tmp.path() / "a" / "b" / "two", 300, 1);
    WriteBytes(tmp.path() / ".dot", 5, 1);
    fs::create_directory_symlink(tmp.path(), tmp.path() / "a" / "b" / "up");
    std::uint64_t count = 0, total = 0, smallest = 0;
    DiskImageMessage problem;
    ASSERT_TRUE(ScanFolder(tmp.path(), count, total, &smallest, problem));
    EXPECT_EQ(count, 2u);  // ".dot" does not go into an image
    EXPECT_EQ(total, 310u);
    EXPECT_EQ(smallest, 10u);
    EXPECT_FALSE(ScanFolder(tmp.path() / "missing", count, total, nullptr, problem));
}

TEST(DiskImageTexts, TableIsInOrderAndPointsAtTheLanguageEntries) {
    EXPECT_EQ(TextEntry(DiskImageText::Title).languageIndex, 280);
    EXPECT_EQ(TextEntry(DiskImageText::EmptyPageSize).languageIndex, 305);
    for (int i = 0; i <= static_cast<int>(DiskImageText::CapacityTooLarge); ++i) {
        EXPECT_EQ(static_cast<int>(TextEntry(static_cast<DiskImageText>(i)).id), i);
    }
    EXPECT_EQ(EnglishText({DiskImageText::CannotFindFile, "/x/y"}), "GetFileInfoInDir can not find file: /x/y.");
}

}  // namespace
}  // namespace kestrow::image
