#pragma once
// Telling what a path names before reading or replacing it: a tool that reads
// a named pipe waits for ever, and one that replaces a device node with a
// plain file destroys the node.
#include <string>

namespace kestrow::base {

// "a regular file", "a folder", "a character device", "a block device",
// "a named pipe", "a socket", or "a special file", for the type bits of a
// stat mode.
const char* FileKindName(unsigned mode);

// What `path` (links followed) names when it is anything but a regular file
// ("a named pipe", ...); "" for a regular file or when nothing is there.
std::string NonRegularKind(const std::string& path);

}  // namespace kestrow::base
