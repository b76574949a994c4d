#include "kestrow/image/disk_image_texts.h"

#include <array>

namespace kestrow::image {

namespace {

using T = DiskImageText;
constexpr std::array kTexts = {
    DiskImageTextEntry{T::Title, 280, "Image Create Box"},
    DiskImageTextEntry{T::SourceFolder, 281, "Source folder"},
    DiskImageTextEntry{T::TargetFolder, 282, "Target folder"},
    DiskImageTextEntry{T::Browse, 283, "Browse"},
    DiskImageTextEntry{T::ImageFilename, 285, "Image filename"},
    DiskImageTextEntry{T::Capacity, 286, "Capacity(MByte)"},
    DiskImageTextEntry{T::PageSize, 287, "Page size(Byte)"},
    DiskImageTextEntry{T::SectorSize, 288, "Sector size(Byte)"},
    DiskImageTextEntry{T::MakeInformation, 289, "Make information"},
    DiskImageTextEntry{T::Making, 291, "Making Image ..."},
    DiskImageTextEntry{T::Create, 292, "Create"},
    DiskImageTextEntry{T::End, 293, "End"},
    DiskImageTextEntry{T::Success, 294, "Success!You've made a Image."},
    DiskImageTextEntry{T::Failed, 295, "Failed to make Image!"},
    DiskImageTextEntry{T::GettingFolderInfo, 296, "Getting folder info..."},
    DiskImageTextEntry{T::FailedFolderInfo, 297, "Failed to get folder info!"},
    DiskImageTextEntry{T::LowCapacity, 298, "Low capacity size!"},
    DiskImageTextEntry{T::ConfigurationError, 299, "Configuration info error!"},
    DiskImageTextEntry{T::EmptySource, 300, "Empty source folder!"},
    DiskImageTextEntry{T::EmptyTarget, 301, "Empty target folder!"},
    DiskImageTextEntry{T::EmptyImageName, 302, "Empty image filename!"},
    DiskImageTextEntry{T::EmptyCapacity, 303, "Empty capacity!"},
    DiskImageTextEntry{T::EmptySector, 304, "Empty sector!"},
    DiskImageTextEntry{T::EmptyPageSize, 305, "Empty page size!"},
    DiskImageTextEntry{T::Ready, -1, nullptr, config::AddedText::DiskImageReady},
    DiskImageTextEntry{T::ChoosePath, -1, nullptr, config::AddedText::DiskImageChoosePath},
    DiskImageTextEntry{T::CannotFindFile, -1, "GetFileInfoInDir can not find file: %s."},
    DiskImageTextEntry{T::NameNotStorable, -1, "This name cannot be stored in a FAT image: %s"},
    DiskImageTextEntry{T::CannotReadFile, -1, "Cannot read the source file %s"},
    DiskImageTextEntry{T::BuildProblem, -1, "%s"},
    DiskImageTextEntry{T::CapacityTooLarge, -1, nullptr, config::AddedText::CapacityTooLarge},
};

}  // namespace

const DiskImageTextEntry& TextEntry(DiskImageText id) {
    // The table is in enum order; the test checks that it stays so.
    return kTexts[static_cast<std::size_t>(id)];
}

std::string FillPattern(const std::string& pattern, const std::string& argument) {
    const std::size_t at = pattern.find("%s");
    if (at == std::string::npos) return pattern;
    return pattern.substr(0, at) + argument + pattern.substr(at + 2);
}

std::string EnglishPattern(const DiskImageTextEntry& entry) {
    if (entry.added) return std::string(config::AddedTexts()[static_cast<std::size_t>(*entry.added)].english);
    return entry.english;
}

std::string MessageText(const std::string& pattern, const DiskImageMessage& message) {
    const std::string text = FillPattern(pattern, message.argument);
    return message.cause.empty() ? text : text + "\n" + message.cause;
}

std::string EnglishText(const DiskImageMessage& message) {
    return MessageText(EnglishPattern(TextEntry(message.text)), message);
}

}  // namespace kestrow::image
