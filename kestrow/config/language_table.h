#pragma once
// The interface-text table. Every menu, dialog, list header and status line
// names its text by index; the active language decides what the index shows.
// Two languages are built in (Chinese, English); more come from UTF-16LE text
// files in the station's "Lang" folder, one file per language.
#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrow::config {

inline constexpr std::size_t kLanguageEntryCount = 379;

// The built-in tables, entry i of one the translation of entry i of the other.
std::span<const std::string_view, kLanguageEntryCount> BuiltinChineseTexts();
std::span<const std::string_view, kLanguageEntryCount> BuiltinEnglishTexts();

// Texts of features added after the 379 entries every language file holds.
// They stay out of those entries, so no file and no index changes: both
// built-in languages carry them; Chinese ("中文", built in or from its file)
// shows the Chinese ones, every other language the English ones. A "%s"
// takes one value.
enum class AddedText {
    CapacityTooLarge,  // the disk image capacity is beyond FAT
    SaveFailed,        // %s: the file that could not be saved
    LanguageRefused,   // %s: why the language could not be loaded
    Hardware,          // the hardware dialog and its menu item
    DdrFrequency,      // the hardware dialog's DDR clock label
    ResultHeader,      // the channel list's result column
    Passed,            // a row's result: the board passed
    Failed,            // a row's result: the board failed
    WaitingForBoard,   // under a result: the port watches for the next board
    ReplaceBoard,      // under a failure: the board is still on its port
    RetryCount,        // %u: automatic retries of the board so far
    SessionCounters,   // the counters' frame
    SessionPassed,     // %u
    SessionFailed,     // %u
    SessionYield,      // %s: the yield, or "-" before any result
    OpenLogFolder,     // the action showing the log folder
    ChannelLogTitle,   // %u: the log pane's frame, with the channel shown
    CloseWhileBurning, // %d: boards still burning when the window is closed
    BurnFileMissing,   // %s: a burn file that is missing or empty; nothing is watched
    AutoRetries,       // the retry count for a failed board
    BurnFileLabel,     // the window's bar, from here on
    BrowseButton,
    BurnSettingsButton,
    ClosePort,
    OpenPort,
    BitsPerSecond,
    CheckInfo,
    ProjectLabel,      // the Burn Settings dialog, from here on
    PartNumberLabel,
    FrequencyLabel,
    FlashGroup,
    SpiNorFlash,
    SpiNandFlash,
    SupportList,
    RunAddressLabel,
    ProducerLabel,
    SignatureLabel,
    RamPathLabel,
    BootModeGroup,
    BootModeNonSecure,
    BootModeNonSecureToSecure,
    BootModeSecure,
    AddRow,            // the flash list dialogs
    RemoveRow,
    YesButton,         // the question boxes
    NoButton,
    DiskImageReady,    // the disk image dialog's status before a build
    DiskImageChoosePath,
    GeneralItem,       // the General page: its menu item and title, group boxes, what a pool has left
    SerialNumberGroup,
    BluetoothGroup,
    PoolNext,          // %s: the next value
    PoolUsedUp,
    PoolCounts,        // ", %s handed out, %s left"
    PortMissing,       // why a port cannot be used; %s: the port (and the group)
    PortNoPermission,
    PortInUse,
    PortNotSerial,
    PortCannotOpen,
    PortOccupied,      // the box when "Open" finds the port held
    FileNotFound,      // %s: a file the transfer total needs
};
inline constexpr std::size_t kAddedTextCount = 61;
struct AddedTextEntry {
    AddedText id;
    std::string_view english;
    std::string_view chinese;
};
// The entries in enum order.
std::span<const AddedTextEntry, kAddedTextCount> AddedTexts();
// `pattern` with its successive "%s" replaced by `values`; a "%s" inside a
// value stays as it is.
std::string FillIn(std::string pattern, std::initializer_list<std::string> values);

// Reads a whole language file: the byte-order mark and everything outside
// double quotes is ignored, each quoted run is one entry taken literally.
// A file without all 379 entries is refused (an incomplete table would show
// blank status lines); `error` then says why. Extra entries are ignored.
bool ParseLanguageFile(const std::string& path, std::vector<std::string>& entries, std::string& error);
// The file text for a table: BOM, "Lang{", one "\"entry\"," line per entry, "}",
// all UTF-16LE with CR LF line ends.
std::string FormatLanguageFile(const std::vector<std::string>& entries);

class LanguageTable {
public:
    static constexpr int kChinese = 0;
    static constexpr int kEnglish = 1;

    // `stationFolder` holds burn.ini and the Lang folder; empty means
    // StationFolder(), looked up at each use so a table created before the
    // station is chosen still finds it. The table belongs to one thread (the
    // window's): a language switch replaces the entries GetString reads.
    explicit LanguageTable(std::string stationFolder = "");

    // A copy of entry `index`; empty for an index past the table or before any load.
    std::string GetString(std::size_t index) const;
    // An added text in the active language (English before any load).
    std::string GetAddedText(AddedText id) const;

    // Start-up selection: lists the languages of the Lang folder, picks `name`
    // (English when absent or empty) and loads it, falling back to the
    // built-in English table when it cannot be loaded.
    void SetLanguage(const std::string& name);
    // SetLanguage with the language remembered in burn.ini.
    void SetLanguageFromBurnIni();
    // The language burn.ini keeps for the next start: the last one loaded,
    // or the one start-up was asked for when it could not be loaded (its
    // file broken or missing) and none was chosen since.
    const std::string& RememberedLanguage() const { return remembered_; }

    // Loads language `index` of LanguageNames() from its file; the two built-in
    // languages fall back to their built-in table. False (table unchanged) when
    // `index` is already active, out of range, or its file cannot be loaded.
    bool LoadLanguage(int index);
    // Reads a language file into the table; false leaves the table unchanged.
    bool LoadLanguageFile(const std::string& path);
    // Writes the active table to Lang/<name>.txt unless that file exists
    // already, so a language file is created once and never overwritten.
    bool SaveCurrentLanguageFile();

    const std::vector<std::string>& LanguageNames() const { return names_; }
    int CurrentLanguage() const { return current_; }
    // Name of the active language, empty before the first load.
    std::string CurrentLanguageName() const;
    // Why the last file operation failed (empty after a success); after
    // SetLanguage, why the language asked for is not the one shown.
    const std::string& LastError() const { return error_; }

private:
    void LoadBuiltin(int language);
    std::string Station() const;
    std::string LangFolder() const;

    std::string station_;
    std::vector<std::string> names_;
    std::vector<std::string> entries_;  // empty until the first load
    int current_ = -1;
    std::string remembered_;
    std::string error_;
};

}  // namespace kestrow::config
