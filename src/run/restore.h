// Putting a path's version back, or writing it elsewhere (POSIX): --restore.
#pragma once

#include <optional>
#include <string>

#include "cmdline/cmdline.h"
#include "core/settings.h"

// Puts back each source's newest version (made by request.at, where given).
// Every source's version is chosen before any is restored; where a source
// differs from it, it is first backed up as a copy under the run's stamp.
// With request.output, the one source's version is written there instead,
// as a new file or folder, or to standard output.
std::optional<Failure> restore_versions(const Request& request, const BackupSettings& settings, std::string& stamp);
