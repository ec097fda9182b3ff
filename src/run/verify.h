// Checking backups against their records (POSIX): every recorded file read
// back and its SHA-256 compared, each file read once however many names it
// has.
#pragma once

#include <cstdint>
#include <optional>

#include "cmdline/cmdline.h"
#include "core/settings.h"

// Prints a line for each problem found in the backups of each source (with
// request.at, only the one a restore would take): "FAILED PATH", "MISSING
// PATH", "UNRECORDED PATH", "UNREADABLE PATH: reason", or with --json an
// object a backup. The status: 3 where something could not be read, else 2
// where a source has no backup, else 1 where a recorded file is damaged or
// missing, else 0.
std::int32_t verify_backups(const Request& request);
