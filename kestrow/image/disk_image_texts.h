#pragma once
// Every text the disk image maker shows, with its entry in the language
// table (or -1 for the few texts the table does not carry) beside the
// English wording used where no table is loaded.
#include "kestrow/config/language_table.h"

#include <optional>
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
    CapacityTooLarge,
};

struct DiskImageTextEntry {
    DiskImageText id;
    int languageIndex;  // -1: not among the language table's 379 entries
    const char* english;  // nullptr for an added text: the language table has its English
    std::optional<config::AddedText> added = std::nullopt;  // a text added to the table after the 379
};

const DiskImageTextEntry& TextEntry(DiskImageText id);

// A text to show, with the value for its "%s" when it has one, and what
// caused it (which field, file or size), shown on the line after the text.
struct DiskImageMessage {
    DiskImageText text;
    std::string argument;
    std::string cause = {};
};

// Puts `argument` in place of the "%s" of `pattern` (a pattern without one is returned as is).
std::string FillPattern(const std::string& pattern, const std::string& argument);
// `pattern` filled with the message's argument, and its cause on the next line.
std::string MessageText(const std::string& pattern, const DiskImageMessage& message);
// The English wording of an entry, with its "%s" still in it.
std::string EnglishPattern(const DiskImageTextEntry& entry);
std::string EnglishText(const DiskImageMessage& message);

}  // namespace kestrow::image
