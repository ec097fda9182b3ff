#include "snapshot/exclude.h"

#include <fnmatch.h>

#include <cstddef>
#include <vector>

namespace {

// The parts between slashes, empty ones dropped: "a//b" is "a/b". Copies,
// because fnmatch wants each one ended by a NUL.
std::vector<std::string> parts_of(std::string_view text) {
    std::vector<std::string> parts;
    while (!text.empty()) {
        const std::size_t slash = text.find('/');
        const std::string_view part = text.substr(0, slash);
        if (!part.empty()) parts.emplace_back(part);
        if (slash == std::string_view::npos) break;
        text.remove_prefix(slash + 1);
    }
    return parts;
}

bool part_matches(const std::string& pattern, const std::string& part) {
    return fnmatch(pattern.c_str(), part.c_str(), 0) == 0;
}

// The pattern's parts against the whole path, "**" parts standing for any
// number of path parts. reached[j] says the pattern parts seen so far can
// consume exactly the first j path parts; one pass per pattern part keeps it
// linear in both, however many "**" there are.
bool path_matches(std::span<const std::string> pattern, std::span<const std::string> path) {
    std::vector<bool> reached(path.size() + 1, false);
    reached[0] = true;
    for (std::size_t at = 0; at < pattern.size(); ++at) {
        std::vector<bool> next(path.size() + 1, false);
        if (pattern[at] == "**") {
            // At the end it matches what is inside, not the folder itself.
            const bool last = at + 1 == pattern.size();
            for (std::size_t from = 0; from <= path.size(); ++from) {
                if (!reached[from]) continue;
                for (std::size_t to = last ? from + 1 : from; to <= path.size(); ++to) next[to] = true;
                break;
            }
        } else {
            for (std::size_t from = 0; from < path.size(); ++from) {
                if (reached[from] && part_matches(pattern[at], path[from])) next[from + 1] = true;
            }
        }
        reached.swap(next);
    }
    return reached[path.size()];
}

bool pattern_matches(std::string_view pattern, std::span<const std::string> path, bool is_folder) {
    const bool folders_only = pattern.ends_with('/');
    if (folders_only) pattern.remove_suffix(1);
    if (folders_only && !is_folder) return false;
    // As in .gitignore, an empty part ("a//b", "a/b//") matches no path,
    // whose parts are never empty.
    if (pattern.find("//") != std::string_view::npos || pattern.ends_with('/')) return false;
    const std::vector<std::string> parts = parts_of(pattern);
    if (parts.empty() || path.empty()) return false;
    // Without a slash (but a trailing one) it names the entry wherever it is.
    if (pattern.find('/') == std::string_view::npos) return part_matches(parts.front(), path.back());
    return path_matches(parts, path);
}

}  // namespace

bool excluded(std::span<const std::string> patterns, std::string_view path, bool is_folder) {
    const std::vector<std::string> parts = parts_of(path);
    for (const std::string& pattern : patterns) {
        if (pattern_matches(pattern, parts, is_folder)) return true;
    }
    return false;
}

std::vector<std::string> patterns_below(std::span<const std::string> patterns, std::string_view folder) {
    const std::vector<std::string> prefix = parts_of(folder);
    std::vector<std::string> below;
    for (const std::string& pattern : patterns) {
        std::string_view text = pattern;
        const bool folders_only = text.ends_with('/');
        if (folders_only) text.remove_suffix(1);
        // A name matched at any depth, or a pattern that matches nothing, stays as it is.
        if (text.find('/') == std::string_view::npos || text.find("//") != std::string_view::npos ||
            text.ends_with('/')) {
            below.push_back(pattern);
            continue;
        }
        const std::vector<std::string> parts = parts_of(text);
        // The pattern's parts that can have taken the folder's path: a "**"
        // stays where it is, since it may take more parts below too.
        std::vector<bool> at(parts.size() + 1, false);
        at[0] = true;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            if (at[i] && parts[i] == "**" && i + 1 < parts.size()) at[i + 1] = true;
        }
        for (const std::string& part : prefix) {
            std::vector<bool> next(parts.size() + 1, false);
            for (std::size_t i = 0; i < parts.size(); ++i) {
                if (!at[i]) continue;
                if (parts[i] == "**") {
                    next[i] = true;
                } else if (part_matches(parts[i], part)) {
                    next[i + 1] = true;
                }
            }
            for (std::size_t i = 0; i < parts.size(); ++i) {
                if (next[i] && parts[i] == "**" && i + 1 < parts.size()) next[i + 1] = true;
            }
            at.swap(next);
        }
        // What is left to match, from the folder's top; a pattern that took
        // the whole path left out the folder itself, which then has no entry.
        for (std::size_t i = 0; i < parts.size(); ++i) {
            if (!at[i]) continue;
            std::string rest;
            for (std::size_t j = i; j < parts.size(); ++j) (rest += '/') += parts[j];
            if (folders_only) rest += '/';
            below.push_back(std::move(rest));
        }
    }
    return below;
}
