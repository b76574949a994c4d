#pragma once
// The two station users' passwords and their file "password.cfg": 1024 bytes,
// the producer's password in bytes 0-41 and the researcher's in bytes 42-83
// (UTF-16LE, zero-padded, 20 characters at most), every byte scrambled with
// (i * (i + 5) + 1) mod 256 so the file does not show the passwords as text.
#include <cstddef>
#include <functional>
#include <string>

namespace kestrow::config {

class LanguageTable;

inline constexpr std::size_t kPasswordFileSize = 1024;
inline constexpr std::size_t kPasswordMaxChars = 20;
inline constexpr const char* kDefaultPassword = "qelvo";

// "password.cfg" in the station folder.
std::string PasswordFilePath();

// The scramble byte of file position `i`; applying it twice restores the byte.
unsigned char PasswordScrambleByte(std::size_t i);

// The first 20 characters of `password` that fit its 21-unit field (a
// character outside the 16-bit range takes two units and is never split).
std::string CutPassword(const std::string& password);

// Reads both passwords. False when the file is missing, unreadable or too
// short to hold both fields; the passwords then keep their values.
bool LoadPasswordFile(const std::string& path, std::string& producer, std::string& researcher);
// Writes both passwords through a temporary file, so a failed save leaves the
// previous file in place. False on failure.
bool SavePasswordFile(const std::string& path, const std::string& producer, const std::string& researcher);

enum class PasswordChangeOutcome {
    ConfirmationMismatch,  // new password and confirmation differ
    WrongOldPassword,      // old password does not match the chosen user's
    Changed,               // stored and saved
    StoreFailed,           // saving failed; the previous password is kept
};

struct PasswordChangeRequest {
    std::string user;  // the user name chosen in the dialog
    std::string oldPassword;
    std::string newPassword;
    std::string confirmation;
};

struct PasswordChangeResult {
    PasswordChangeOutcome outcome;
    std::string message;  // the text to show
    bool isError;         // shown with an error icon
};

// Applies a password change. The user whose name equals language entry 43
// ("Producer") changes `producer`, any other choice `researcher`. On a match
// the new password (cut to 20 characters) is stored and `save` is called;
// when `save` fails the member gets its old value back.
PasswordChangeResult ChangePassword(const PasswordChangeRequest& request, const LanguageTable& texts,
                                    std::string& producer, std::string& researcher,
                                    const std::function<bool()>& save);

}  // namespace kestrow::config
