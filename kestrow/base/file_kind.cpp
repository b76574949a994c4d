#include "kestrow/base/file_kind.h"

#include <sys/stat.h>

namespace kestrow::base {

const char* FileKindName(unsigned mode) {
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISSOCK(mode)) return "a socket";
    return "a special file";
}

std::string NonRegularKind(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return "";
    return FileKindName(st.st_mode);
}

}  // namespace kestrow::base
