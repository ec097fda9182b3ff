// Every version of a path (POSIX): its own backups and the entry at its
// place in each snapshot of a folder above it, found, numbered by time and
// read, for the tasks that list, compare and restore them. Where they can
// be and how they are told apart are the history's rules; this reads the
// folders and carries out what those rules choose.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "history/versions.h"
#include "platform/platform.h"
#include "run/history.h"
#include "core/settings.h"

// Status 2 for a source without the version asked for.
Failure no_backup(std::string_view source);

// The backup folder a version is found in, and its path there
// ("proj.20261208.13000000/src/main.c").
std::string folder_of(const Version& version);
std::string path_in_folder(const Version& version);

// The versions of a source, newest first, and what stands at its name;
// none where that or a folder cannot be read, with the reason in error.
std::optional<std::vector<Version>> versions_of(const std::string& source, SourceState& state, bool facts,
                                                platform::ErrorCode& error);

// The newest version made at or before a stamp's time (where it came
// twice, the later), or the newest of all.
std::optional<std::size_t> made_by(const std::vector<Version>& versions, std::optional<StampValue> by);

// The patterns a folder's version was made with: its snapshot's, taken
// from the folder's place in it where it lies inside one.
std::optional<std::vector<std::string>> excludes_of_version(const Version& version, platform::ErrorCode& error);

// A path that programs may read a version by: a backup's own, or a
// version inside a snapshot held open, labelled as diff -u would label it.
struct Side {
    std::string path;
    std::optional<std::string> label;
};

// None where the snapshot cannot be held open, with the reason in error.
std::optional<Side> side_of(const Version& version, bool labelled, platform::ErrorCode& error);
