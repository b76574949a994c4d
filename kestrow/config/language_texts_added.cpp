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
    {T::Hardware, "&Hardware", "硬件(&H)"},
    {T::DdrFrequency, "DDR_FREQ:", "DDR频率："},
    {T::ResultHeader, "Result", "结果"},
    {T::Passed, "PASS", "通过"},
    {T::Failed, "FAIL", "失败"},
    {T::WaitingForBoard, "waiting for the next board", "等待下一块板"},
    {T::ReplaceBoard, "replace the board", "请更换此板"},
    {T::RetryCount, "retry %u", "重试 %u"},
    {T::SessionCounters, "Since start", "本次启动以来"},
    {T::SessionPassed, "Passed: %u", "通过：%u"},
    {T::SessionFailed, "Failed: %u", "失败：%u"},
    {T::SessionYield, "Yield: %s", "良率：%s"},
    {T::OpenLogFolder, "Open &log folder", "打开日志文件夹(&L)"},
    {T::ChannelLogTitle, "Log of channel %u", "通道 %u 的日志"},
    {T::CloseWhileBurning, "%d board(s) burning: closing aborts their burns.", "%d 块板正在烧录：关闭将中止这些烧录。"},
    {T::BurnFileMissing, "%s\nNo board is burned until the file is there.", "%s\n该文件就绪之前不烧录任何板。"},
    {T::AutoRetries, "&Retries of a failed board:", "失败板自动重试次数(&R)："},
    {T::BurnFileLabel, "Burn File:", "烧录文件："},
    {T::BrowseButton, "&Browse", "浏览(&B)"},
    {T::BurnSettingsButton, "Burn &Settings", "烧录设置(&S)"},
    {T::ClosePort, "&Close", "关闭(&C)"},
    {T::OpenPort, "&Open", "打开(&O)"},
    {T::BitsPerSecond, "bps", "bps"},
    {T::CheckInfo, "Check_Info", "检查信息"},
    {T::ProjectLabel, "Project", "项目"},
    {T::PartNumberLabel, "Part Number", "型号"},
    {T::FrequencyLabel, "CPU and DDR2 Frequency", "CPU与DDR2频率"},
    {T::FlashGroup, "Flash", "闪存"},
    {T::SpiNorFlash, "SPI NOR Flash", "SPI NOR 闪存"},
    {T::SpiNandFlash, "SPI NAND Flash", "SPI NAND 闪存"},
    {T::SupportList, "Support List", "支持列表"},
    {T::RunAddressLabel, "Run Addr", "运行地址"},
    {T::ProducerLabel, "Producer", "生产程序"},
    {T::SignatureLabel, "Signature Data", "签名数据"},
    {T::RamPathLabel, "RAM Path", "RAM路径"},
    {T::BootModeGroup, "Boot Mode", "启动模式"},
    {T::BootModeNonSecure, "In non-security boot mode, burn firmware of non-security boot mode.",
     "非安全启动模式下，烧录非安全启动模式的固件。"},
    {T::BootModeNonSecureToSecure, "In non-security boot mode, burn firmware of security boot mode.",
     "非安全启动模式下，烧录安全启动模式的固件。"},
    {T::BootModeSecure, "In security boot mode, burn firmware of security boot mode.",
     "安全启动模式下，烧录安全启动模式的固件。"},
    {T::AddRow, "&Add", "添加(&A)"},
    {T::RemoveRow, "&Remove", "删除(&R)"},
    {T::YesButton, "&Yes", "是(&Y)"},
    {T::NoButton, "&No", "否(&N)"},
    {T::DiskImageReady, "Ready.....", "就绪....."},
    {T::DiskImageChoosePath, "Choose Path", "选择路径"},
    {T::GeneralItem, "&General", "常规(&G)"},
    {T::SerialNumberGroup, "Serial number", "序列号"},
    {T::BluetoothGroup, "Bluetooth", "蓝牙"},
    {T::PoolNext, "next %s", "下一个 %s"},
    {T::PoolUsedUp, "used up", "已用完"},
    {T::PoolCounts, ", %s handed out, %s left", "，已分配 %s，剩余 %s"},
    {T::PortMissing, "%s is missing (not plugged in, renumbered, or a wrong name)", "%s 不存在（未插入、编号已变或名称有误）"},
    {T::PortNoPermission, "no permission to open %s; add the station's user to the %s group (then log in again)",
     "无权打开 %s；请把本工作站的用户加入 %s 组（然后重新登录）"},
    {T::PortInUse, "%s is in use by another program", "%s 正被其他程序占用"},
    {T::PortNotSerial, "%s is not a serial port", "%s 不是串口"},
    {T::PortCannotOpen, "cannot open %s", "无法打开 %s"},
    {T::PortOccupied, "Serial port occupied, please check it!", "串口被占用，请检查！"},
    {T::FileNotFound, "The file %s can not be found.", "找不到文件 %s。"},
}};

}  // namespace

std::span<const AddedTextEntry, kAddedTextCount> AddedTexts() { return kAddedTexts; }

std::string FillIn(std::string pattern, std::initializer_list<std::string> values) {
    std::size_t from = 0;
    for (const std::string& value : values) {
        const std::size_t at = pattern.find("%s", from);
        if (at == std::string::npos) break;
        pattern.replace(at, 2, value);
        from = at + value.size();
    }
    return pattern;
}

}  // namespace kestrow::config
