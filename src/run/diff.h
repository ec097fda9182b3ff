// Comparing a path with its versions, or two versions (POSIX): --diff.
#pragma once

#include <cstdint>
#include <optional>

#include "cmdline/cmdline.h"
#include "core/settings.h"

// Compares each source with its newest version (made by request.at, where
// given), or that version with the one made by request.to: a file by diff
// -u, a folder a line (or, with --json, an object) a changed entry. Status
// 1 where any differs; status 2 for a source without such a version, 3
// where a side cannot be read, at the first such source.
std::optional<Failure> diff_versions(const Request& request, std::int32_t& status);
