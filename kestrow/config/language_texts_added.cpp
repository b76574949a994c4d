// Texts added to the language table after its 379 entries, English and Chinese.
#include "kestrow/config/language_table.h"

#include <array>

namespace kestrow::config {
namespace {

using T = AddedText;
constexpr std::array<AddedTextEntry, kAddedTextCount> kAddedTexts = {{
    {T::CapacityTooLarge, "Capacity too large for a FAT volume!", "容量超出FAT卷的上限！"},
    {T::SaveFailed, "Failed to save %s", "无法保存%s"},
    {T::LanguageRefused, "The language cannot be loaded: %s", "无法加载语言：%s"},
    {T::Hardware, "Hardware", "硬件"},
    {T::DdrFrequency, "DDR_FREQ:", "DDR频率："},
}};

}  // namespace

std::span<const AddedTextEntry, kAddedTextCount> AddedTexts() { return kAddedTexts; }

}  // namespace kestrow::config
