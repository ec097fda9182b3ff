// Every version of a path (POSIX): its own backups and the entry at its
// place in each snapshot of a folder above it, listed, compared with the
// path or with each other, and restored over it or beside it. Where they
// can be and how they are told apart are the history's rules; this reads
// the folders and carries out what those rules choose.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cmdline/cmdline.h"
#include "core/settings.h"

// Prints the versions of each source, newest first, a path a line (or
// NUL-ended, or an object a line with --json); with --distinct the entry
// that first saved each version, with --size each one's room and what
// removing it would free. Status 2 for the first source without one, after
// the lines of those before it.
std::optional<Failure> list_versions(const Request& request);

// Compares each source with its newest version (made by request.at, where
// given), or that version with the one made by request.to: a file by diff
// -u, a folder a line (or, with --json, an object) a changed entry. Status
// 1 where any differs; status 2 for a source without such a version, 3
// where a side cannot be read, at the first such source.
std::optional<Failure> diff_versions(const Request& request, std::int32_t& status);

// Puts back each source's newest version (made by request.at, where given).
// Every source's version is chosen before any is restored; where a source
// differs from it, it is first backed up as a copy under the run's stamp.
// With request.output, the one source's version is written there instead,
// as a new file or folder, or to standard output.
std::optional<Failure> restore_versions(const Request& request, const BackupSettings& settings, std::string& stamp);
