#pragma once
// Every text the disk image maker shows, with its entry in the language
// table (or -1 for the few texts the table does not carry) beside the
// English wording used where no table is loaded.
#include <string>

namespace kestrow::image {

enum class DiskImageText {
    Title,
    SourceFolder,
    TargetFolder,
    Browse,
    ImageFilename,
    Capacity,
    PageSize,
    SectorSize,
    MakeInformation,
    Making,
    Create,
    End,
    Success,
    Failed,
    GettingFolderInfo,
    FailedFolderInfo,
    LowCapacity,
    ConfigurationError,
    EmptySource,
    EmptyTarget,
    EmptyImageName,
    EmptyCapacity,
    EmptySector,
    EmptyPageSize,
    Ready,
    ChoosePath,
    CannotFindFile,   // %s: the file whose size could not be read
    NameNotStorable,  // %s: the file and why
    CannotReadFile,   // %s: the file that cannot be opened
    BuildProblem,     // %s: what went wrong during the build
};

struct DiskImageTextEntry {
    DiskImageText id;
    int languageIndex;  // -1: not in the language table
    const char* english;
};

const DiskImageTextEntry& TextEntry(DiskImageText id);

// A text to show, with the value for its "%s" when it has one.
struct DiskImageMessage {
    DiskImageText text;
    std::string argument;
};

// Puts `argument` in place of the "%s" of `pattern` (a pattern without one is returned as is).
std::string FillPattern(const std::string& pattern, const std::string& argument);
std::string EnglishText(const DiskImageMessage& message);

}  // namespace kestrow::image
