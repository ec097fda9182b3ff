// Which entries a folder snapshot leaves out, by patterns as in .gitignore:
// a pattern without '/' (but a trailing one) names entries at any depth,
// one with a '/' elsewhere is a path from the tree's top; '*', '?' and
// "[...]" stay within a path part; a part "**" stands for any number of
// whole parts; a trailing '/' matches folders only. No negation, no
// comments: a pattern is taken as given.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

// Whether an entry of a tree is left out by any of the patterns. The path is relative to the
// tree's top, its parts joined by '/', with no leading or trailing '/'.
bool excluded(std::span<const std::string> patterns, std::string_view path, bool is_folder);
// The patterns for a folder inside the tree (its path from the top), taken
// as a tree of its own: they leave out an entry below it exactly where the
// tree's patterns leave out that entry's path from the tree's top, so that
// a snapshot's folder restored alone keeps what the snapshot left out.
std::vector<std::string> patterns_below(std::span<const std::string> patterns, std::string_view folder);
// Whether a pattern can be used (not empty, not only slashes); the command
// line refuses others. Text alone, so that every build's command line reads it.
inline bool valid_exclude(std::string_view pattern) {
    return pattern.find_first_not_of('/') != std::string_view::npos;
}

// A folder holding a file CACHEDIR.TAG that begins with this signature is a
// cache, made again at will: snapshots leave it out (the Cache Directory
// Tagging convention, as restic and borg follow it).
inline constexpr std::string_view cache_tag_name = "CACHEDIR.TAG";
inline constexpr std::string_view cache_tag_signature = "Signature: 8a477f597d28d172789f06886806bc55";
// Whether a tag file's first bytes (as many as the signature's) mark a cache.
inline bool marks_a_cache(std::string_view first_bytes) {
    return first_bytes == cache_tag_signature;
}
