#include "kestrow/config/password_file.h"

#include <algorithm>
#include <filesystem>

#include "kestrow/base/atomic_file.h"
#include "kestrow/base/unicode.h"
#include "kestrow/config/burn_config.h"
#include "kestrow/config/file_io.h"
#include "kestrow/config/language_table.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/config/text_util.h"

namespace kestrow::config {
namespace {

constexpr std::size_t kFieldUnits = kPasswordMaxChars + 1;  // 20 usable units and the terminator
constexpr std::size_t kFieldBytes = kFieldUnits * 2;
constexpr std::size_t kResearcherOffset = kFieldBytes;
constexpr std::size_t kUsedBytes = 2 * kFieldBytes;

constexpr std::size_t kConfirmErrorText = 54;
constexpr std::size_t kWrongPasswordText = 53;
constexpr std::size_t kChangedText = 55;
constexpr std::size_t kProducerNameText = 43;
constexpr const char* kStoreFailedText = "Error In Storing Password!";

void PutField(std::string& plain, std::size_t offset, const std::string& password) {
    const std::u16string units = Utf8ToUtf16(CutPassword(password));
    const std::string bytes =
        base::EncodeUtf16(std::u16string_view(units).substr(0, kPasswordMaxChars), base::ByteOrder::Little);
    plain.replace(offset, bytes.size(), bytes);
}

// The text up to the field's terminator; a field without one (a damaged file)
// is cut to its usable 20 units instead of running into the next field.
std::string GetField(const std::string& plain, std::size_t offset) {
    const std::u16string units =
        base::DecodeUtf16(std::string_view(plain).substr(offset, 2 * kPasswordMaxChars), base::ByteOrder::Little);
    return Utf16ToUtf8(std::u16string_view(units).substr(0, units.find(u'\0')));
}

}  // namespace

std::string PasswordFilePath() { return (std::filesystem::path(StationFolder()) / "password.cfg").string(); }

unsigned char PasswordScrambleByte(std::size_t i) { return static_cast<unsigned char>((i * (i + 5) + 1) % 256); }

std::string CutPassword(const std::string& password) {
    const std::u16string units = Utf8ToUtf16(password);
    std::size_t end = 0;
    for (std::size_t chars = 0; end < units.size() && chars < kPasswordMaxChars; ++chars) {
        const bool pair = units[end] >= 0xD800 && units[end] <= 0xDBFF;
        if (end + (pair ? 2 : 1) > kPasswordMaxChars) break;
        end += pair ? 2 : 1;
    }
    return Utf16ToUtf8(std::u16string_view(units).substr(0, end));
}

bool LoadPasswordFile(const std::string& path, std::string& producer, std::string& researcher) {
    std::string plain;
    if (!ReadWholeFile(path, plain) || plain.size() < kUsedBytes) return false;
    // Only the first 1024 bytes belong to the file's layout.
    plain.resize(std::min(plain.size(), kPasswordFileSize));
    for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<char>(plain[i] ^ PasswordScrambleByte(i));
    producer = GetField(plain, 0);
    researcher = GetField(plain, kResearcherOffset);
    return true;
}

bool SavePasswordFile(const std::string& path, const std::string& producer, const std::string& researcher) {
    std::string bytes(kPasswordFileSize, '\0');
    PutField(bytes, 0, producer);
    PutField(bytes, kResearcherOffset, researcher);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(bytes[i] ^ PasswordScrambleByte(i));
    // Nobody else reads a new password file; an existing one keeps its mode.
    std::string error;
    return base::WriteFileAtomically(path, bytes, error, base::kPrivateFileMode);
}

PasswordChangeResult ChangePassword(const PasswordChangeRequest& request, const LanguageTable& texts,
                                    std::string& producer, std::string& researcher,
                                    const std::function<bool()>& save) {
    if (request.newPassword != request.confirmation)
        return {PasswordChangeOutcome::ConfirmationMismatch, texts.GetString(kConfirmErrorText), true};
    std::string& member = request.user == texts.GetString(kProducerNameText) ? producer : researcher;
    // The stored password was cut to 20 characters, so the typed one is cut alike:
    // a user who once set a longer password can still enter it in full.
    if (CutPassword(request.oldPassword) != member)
        return {PasswordChangeOutcome::WrongOldPassword, texts.GetString(kWrongPasswordText), true};
    const std::string previous = member;
    member = CutPassword(request.newPassword);
    if (!save()) {
        member = previous;
        return {PasswordChangeOutcome::StoreFailed, kStoreFailedText, true};
    }
    return {PasswordChangeOutcome::Changed, texts.GetString(kChangedText), false};
}

int BurnConfig::LoadPasswords() {
    return LoadPasswordFile(PasswordFilePath(), producer_password, researcher_password) ? 1 : 0;
}

int BurnConfig::SavePasswords() const {
    return SavePasswordFile(PasswordFilePath(), producer_password, researcher_password) ? 1 : 0;
}

}  // namespace kestrow::config
