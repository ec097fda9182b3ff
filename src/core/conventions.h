// What each system's users expect of paths and command lines: the ground
// facts that names and the platform layer both rest on.
#pragma once

#include <string_view>

namespace platform {

#ifdef _WIN32
inline constexpr char folder_separator = '\\';
// Windows takes both slashes as folder separators.
inline constexpr std::string_view folder_separators = "\\/";
// The Windows command line is one text that starts with the program's name and
// names one file; a file's folder part stays in its backup's name as given.
inline constexpr bool posix_conventions = false;
#else
inline constexpr char folder_separator = '/';
inline constexpr std::string_view folder_separators = "/";
// POSIX users' conventions: each argument is one whole word, several files
// may be named, --help and --version answer, and a file named with a folder
// part is backed up under that folder part inside the backup folder.
inline constexpr bool posix_conventions = true;
#endif

}  // namespace platform
