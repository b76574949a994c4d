// The FAT writer against the outside tools: every volume it makes must pass
// fsck.fat and extract with mtools to exactly what was written.
#include "kestrow/fat/fat_drive.h"
#include "kestrow/fat/image_file.h"
#include "tests/kestrow/fat/outside_tools.h"

#include <gtest/gtest.h>

#include <fstream>

namespace kestrow::fat {
namespace {

using testing::ExpectImageHolds;
using testing::TempFolder;
namespace fs = std::filesystem;

// A drive on an image file, plus a folder on disk that receives the same tree
// so the extracted image can be compared with it.
class Volume {
public:
    Volume(const fs::path& image, std::uint64_t bytes, std::uint32_t sectorSize, std::uint32_t pageSize = 0)
        : image_(image) {
        // The image is made empty at its place, then written there as the tests go.
        std::string error;
        EXPECT_TRUE(file_.Create(image.string(), bytes, error) && file_.Commit(error) &&
                    file_.Open(image.string(), error))
            << error;
        MediumDescription d;
        d.io = file_.Sectors(sectorSize);
        d.sectorSize = sectorSize;
        d.sectorCount = bytes / sectorSize;
        if (pageSize != 0) {
            d.kind = MediumDescription::Kind::NandFlash;
            d.sectorShift = static_cast<std::uint32_t>(Log2Exact(sectorSize));
            d.pageShift = static_cast<std::uint32_t>(Log2Exact(pageSize));
        }
        drive_ = FatDrive::Create(0, CreateMedium(d, error), error);
        EXPECT_TRUE(drive_) << error;
    }
    FatDrive& drive() { return *drive_; }
    bool FormatAndMount() { return drive_->Format() && drive_->Mount(); }

private:
    fs::path image_;
    ImageFile file_;
    std::unique_ptr<FatDrive> drive_;
};

void MakeDir(FatDrive& drive, const fs::path& expected, const std::string& rel) {
    ASSERT_TRUE(drive.MakeDirectory("A:/" + rel)) << drive.LastError();
    fs::create_directories(expected / rel);
}

// Writes the same bytes to the volume and the expected folder, in pieces of
// `piece` bytes so partial sectors are carried between writes.
void MakeFile(FatDrive& drive, const fs::path& expected, const std::string& rel, std::size_t size,
              std::size_t piece = 65536) {
    testing::WriteBytes(expected / rel, size, static_cast<unsigned>(size * 31 + rel.size()));
    const std::string data = testing::ReadFile(expected / rel);
    auto file = drive.CreateFile("A:/" + rel);
    ASSERT_TRUE(file) << drive.LastError();
    for (std::size_t at = 0; at < size; at += piece) {
        const std::size_t n = std::min(piece, size - at);
        ASSERT_EQ(file->Write(data.data() + at, n), n) << drive.LastError();
    }
    ASSERT_TRUE(file->Close()) << drive.LastError();
}

struct Geometry {
    const char* name;
    std::uint64_t bytes;
    std::uint32_t sectorSize;
    std::uint32_t pageSize;  // 0: plain disk
    FatType type;
};
void PrintTo(const Geometry& g, std::ostream* os) { *os << g.name; }

class FatGeometryTest : public ::testing::TestWithParam<Geometry> {};

// One mixed tree per geometry: nested folders, long, mixed-case and Unicode
// names, an empty file, sizes around sector and cluster edges written in odd
// pieces, and a folder with enough entries to grow over several clusters.
TEST_P(FatGeometryTest, TreePassesFsckAndExtractsIdentically) {
    const Geometry g = GetParam();
    TempFolder tmp;
    const fs::path image = tmp.path() / "vol.img";
    const fs::path expected = tmp.path() / "expected";
    fs::create_directories(expected);
    Volume v(image, g.bytes, g.sectorSize, g.pageSize);
    FatDrive& d = v.drive();
    ASSERT_TRUE(v.FormatAndMount()) << d.LastError();
    EXPECT_EQ(d.Layout().type, g.type);
    EXPECT_EQ(d.Layout().bytesPerSector, g.sectorSize);
    EXPECT_GT(d.VolumeSize(), g.bytes * 9 / 10);

    MakeDir(d, expected, "Docs");
    MakeDir(d, expected, "Docs/a rather long folder name with spaces");
    MakeDir(d, expected, "Docs/a rather long folder name with spaces/deeper");
    MakeFile(d, expected, "README.TXT", 100);
    MakeFile(d, expected, "readme2.txt", 0);
    MakeFile(d, expected, "Docs/Überprüfung — 検査.bin", 3 * g.sectorSize + 1, 777);
    MakeFile(d, expected, "Docs/a rather long folder name with spaces/deeper/cluster.dat",
             d.Layout().ClusterBytes() * 2, 1000);
    MakeFile(d, expected, "Docs/a rather long folder name with spaces/odd.size", 70001, 4095);
    MakeDir(d, expected, "many");
    for (int i = 0; i < 150; ++i) MakeFile(d, expected, "many/entry number " + std::to_string(i) + ".txt", i);
    ASSERT_TRUE(d.Unmount()) << d.LastError();
    ExpectImageHolds(image, expected, tmp.path());
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, FatGeometryTest,
    ::testing::Values(Geometry{"fat12_512", 2u << 20, 512, 0, FatType::Fat12},
                      Geometry{"fat12_4096", 8u << 20, 4096, 0, FatType::Fat12},
                      Geometry{"fat16_512", 64u << 20, 512, 0, FatType::Fat16},
                      Geometry{"fat16_2048_nand", 48u << 20, 2048, 8192, FatType::Fat16},
                      Geometry{"fat32_512", 600u << 20, 512, 0, FatType::Fat32},
                      Geometry{"fat32_4096_nand", 520u << 20, 4096, 16384, FatType::Fat32},
                      Geometry{"fat12_512_nand", 1u << 20, 512, 2048, FatType::Fat12}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FatDrive, EmptyFormattedVolumePassesFsck) {
    for (std::uint64_t mib : {1u, 16u, 512u}) {
        TempFolder tmp;
        Volume v(tmp.path() / "e.img", mib << 20, 512);
        ASSERT_TRUE(v.FormatAndMount()) << v.drive().LastError();
        ASSERT_TRUE(v.drive().Unmount());
        ExpectImageHolds(tmp.path() / "e.img", tmp.path() / "nothing", tmp.path());
    }
}

TEST(FatDrive, RefusesNamesItCannotHoldWithoutWritingAnEntry) {
    TempFolder tmp;
    const fs::path expected = tmp.path() / "expected";
    Volume v(tmp.path() / "n.img", 4u << 20, 512);
    FatDrive& d = v.drive();
    ASSERT_TRUE(v.FormatAndMount());
    MakeFile(d, expected, "Keep.txt", 10);
    const std::string bad[] = {"a\\b", "a:b", "a*b", "a?b", "a\"b", "a<b", "a>b", "a|b", "tab\there",
                               "dot.", "space ", std::string(256, 'x'), "\xff\xfe", "..", "keep.TXT"};
    for (const std::string& name : bad) {
        EXPECT_FALSE(d.CreateFile("A:/" + name)) << name;
        EXPECT_FALSE(d.MakeDirectory("A:/" + name)) << name;
        EXPECT_EQ(d.LastErrorCode(), name == "keep.TXT" ? FatError::Exists : FatError::BadName) << name;
    }
    EXPECT_FALSE(d.CreateFile("B:/x.txt"));
    EXPECT_FALSE(d.CreateFile("A:/missing/x.txt"));
    EXPECT_EQ(d.LastErrorCode(), FatError::NotFound);
    EXPECT_FALSE(d.CreateFile("A:/Keep.txt/x.txt"));
    EXPECT_EQ(d.LastErrorCode(), FatError::NotAFolder);
    ASSERT_TRUE(d.Unmount());
    ExpectImageHolds(tmp.path() / "n.img", expected, tmp.path());
}

// Names that share their first letters all get distinct short aliases;
// fsck.fat reports duplicate short names, mtools would extract the wrong file.
TEST(FatDrive, SimilarLongNamesGetDistinctAliases) {
    TempFolder tmp;
    const fs::path expected = tmp.path() / "expected";
    Volume v(tmp.path() / "s.img", 8u << 20, 512);
    FatDrive& d = v.drive();
    ASSERT_TRUE(v.FormatAndMount());
    MakeDir(d, expected, "d");
    MakeFile(d, expected, "d/LONGNA~1.TXT", 1);  // a plain name that looks like an alias
    for (int i = 0; i < 30; ++i) MakeFile(d, expected, "d/longname_" + std::to_string(i) + ".txt", 3);
    for (const char* n : {"a+b.txt", "A+B.TXT.bak", ".hidden", "x.y.z", "UPPER.LONGEXT", "mixed.Txt"}) {
        MakeFile(d, expected, std::string("d/") + n, 5);
    }
    ASSERT_TRUE(d.Unmount());
    ExpectImageHolds(tmp.path() / "s.img", expected, tmp.path());
}

TEST(FatDrive, FullVolumeGivesShortWriteAndStaysConsistent) {
    TempFolder tmp;
    Volume v(tmp.path() / "f.img", 1u << 20, 512);
    FatDrive& d = v.drive();
    ASSERT_TRUE(v.FormatAndMount());
    const std::uint64_t free = d.FreeBytes();
    auto file = d.CreateFile("A:/big.bin");
    ASSERT_TRUE(file);
    const std::string data(free + 5000, 'z');
    EXPECT_EQ(file->Write(data.data(), data.size()), free);
    EXPECT_EQ(d.LastErrorCode(), FatError::VolumeFull);
    EXPECT_EQ(file->Write("x", 1), 0u);
    ASSERT_TRUE(file->Close());
    EXPECT_EQ(d.FreeBytes(), 0u);
    EXPECT_FALSE(d.MakeDirectory("A:/more"));
    ASSERT_TRUE(d.Unmount());
    const fs::path expected = tmp.path() / "expected";
    fs::create_directories(expected);
    std::ofstream(expected / "big.bin", std::ios::binary).write(data.data(), static_cast<std::streamsize>(free));
    ExpectImageHolds(tmp.path() / "f.img", expected, tmp.path());
}

TEST(FatDrive, FixedRootFolderFillsUp) {
    TempFolder tmp;
    Volume v(tmp.path() / "r.img", 4u << 20, 512);
    FatDrive& d = v.drive();
    ASSERT_TRUE(v.FormatAndMount());
    int made = 0;
    while (d.MakeDirectory("A:/D" + std::to_string(made))) ++made;
    EXPECT_EQ(made, 512);  // plain 8.3 names take one entry each
    EXPECT_EQ(d.LastErrorCode(), FatError::FolderFull);
    ASSERT_TRUE(d.Unmount());
    EXPECT_EQ(testing::FsckProblems(tmp.path() / "r.img"), "");
}

// A volume mounted again knows its folders and names: files added later land
// in the existing folders, and names taken earlier stay taken.
TEST(FatDrive, RemountedVolumeKeepsItsTree) {
    TempFolder tmp;
    const fs::path image = tmp.path() / "m.img";
    const fs::path expected = tmp.path() / "expected";
    {
        Volume v(image, 64u << 20, 1024);
        ASSERT_TRUE(v.FormatAndMount());
        MakeDir(v.drive(), expected, "Sub Folder");
        MakeFile(v.drive(), expected, "Sub Folder/first file.bin", 5000);
        ASSERT_TRUE(v.drive().Unmount());
    }
    ImageFile file;
    std::string error;
    ASSERT_TRUE(file.Open(image.string(), error)) << error;
    MediumDescription md;
    md.io = file.Sectors(1024);
    md.sectorSize = 1024;
    md.sectorCount = file.Size() / 1024;
    auto d = FatDrive::Create(0, CreateMedium(md, error), error);
    ASSERT_TRUE(d && d->Mount()) << (d ? d->LastError() : error);
    EXPECT_FALSE(d->CreateFile("A:/sub folder/FIRST FILE.BIN"));
    EXPECT_EQ(d->LastErrorCode(), FatError::Exists);
    MakeFile(*d, expected, "Sub Folder/second file.bin", 7000);
    ASSERT_TRUE(d->Unmount());
    ExpectImageHolds(image, expected, tmp.path());
}

TEST(FatDrive, MountRefusesAMediumWithoutFileSystem) {
    TempFolder tmp;
    Volume v(tmp.path() / "z.img", 1u << 20, 512);
    EXPECT_FALSE(v.drive().Mount());
    EXPECT_EQ(v.drive().LastErrorCode(), FatError::NoFileSystem);
    EXPECT_FALSE(v.drive().MakeDirectory("A:/x"));
    EXPECT_EQ(v.drive().LastErrorCode(), FatError::NotMounted);
}

}  // namespace
}  // namespace kestrow::fat
