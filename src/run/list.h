// Listing a path's versions (POSIX): --list.
#pragma once

#include <optional>

#include "cmdline/cmdline.h"
#include "core/settings.h"

// Prints the versions of each source, newest first, a path a line (or
// NUL-ended, or an object a line with --json); with --distinct the entry
// that first saved each version, with --size each one's room and what
// removing it would free. Status 2 for the first source without one, after
// the lines of those before it.
std::optional<Failure> list_versions(const Request& request);
