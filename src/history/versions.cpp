#include "history/versions.h"

#include <algorithm>

#include "names/naming.h"

namespace {

// The parts of a path between slashes, empty and "." ones left out.
std::vector<std::string_view> parts_of(std::string_view path) {
    std::vector<std::string_view> parts;
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view part = path.substr(start, end - start);
        if (!part.empty() && part != ".") parts.push_back(part);
        start = end + 1;
    }
    return parts;
}

std::string joined(std::span<const std::string_view> parts, std::string text = {}) {
    for (const std::string_view part : parts) {
        if (!text.empty() && !text.ends_with('/')) text += '/';
        text += part;
    }
    return text;
}

}  // namespace

std::vector<VersionPlace> version_places(std::string_view path) {
    const std::vector<std::string_view> parts = parts_of(path);
    const std::span<const std::string_view> all(parts);
    const std::size_t count = parts.size();
    std::vector<VersionPlace> places;
    places.push_back({std::string(path),
                      joined(all.first(count == 0 ? 0 : count - 1), std::string(backup_folder_name)), {}});
    if (std::find(parts.begin(), parts.end(), "..") != parts.end()) return places;
    const std::string root = path.starts_with('/') ? "/" : "";
    for (std::size_t above = count - std::min<std::size_t>(count, 1); above >= 1; --above) {
        places.push_back({joined(all.first(above), root), joined(all.first(above - 1), std::string(backup_folder_name)),
                          joined(all.subspan(above))});
    }
    return places;
}

void sort_newest_first(std::vector<Version>& versions) {
    std::sort(versions.begin(), versions.end(), [](const Version& a, const Version& b) {
        return a.entry.made != b.entry.made ? a.entry.made > b.entry.made : a.entry.path > b.entry.path;
    });
}

Likeness likeness(const VersionFacts& one, const VersionFacts& other) {
    if (one.kind != VersionKind::folder && one.device == other.device && one.inode == other.inode) {
        return Likeness::same;
    }
    if (one.kind != other.kind || one.permissions != other.permissions || one.owner != other.owner ||
        one.group != other.group || (one.kind != VersionKind::folder && one.size != other.size)) {
        return Likeness::different;
    }
    if (one.kind == VersionKind::file && one.digest && other.digest) {
        return *one.digest == *other.digest ? Likeness::same : Likeness::different;
    }
    return Likeness::read_contents;
}

std::vector<std::uint32_t> version_numbers(const std::vector<bool>& same_as_next) {
    std::vector<std::uint32_t> numbers(same_as_next.size());
    std::uint32_t number = 0;
    for (std::size_t i = numbers.size(); i-- > 0;) {
        if (i + 1 == numbers.size() || !same_as_next[i]) ++number;
        numbers[i] = number;
    }
    return numbers;
}

std::vector<std::size_t> first_saved(std::span<const std::uint32_t> numbers) {
    std::vector<std::size_t> chosen;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        if (i + 1 == numbers.size() || numbers[i + 1] != numbers[i]) chosen.push_back(i);
    }
    return chosen;
}
