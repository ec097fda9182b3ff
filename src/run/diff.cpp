#include "run/diff.h"

#include <cerrno>
#include <vector>

#include "history/json_lines.h"
#include "platform/platform.h"
#include "run/backup.h"
#include "run/guarded.h"
#include "run/history.h"
#include "run/run.h"
#include "run/versions.h"

namespace {

// A file against a version, or two versions: diff -u prints what changed,
// from the first to the second; status 1 where they differ.
std::optional<Failure> diff_file(const std::string& source, const Side& from, const std::string& to,
                                 const std::optional<std::string>& to_label, std::int32_t& status) {
    std::vector<std::string> arguments{"diff", "-u"};
    for (const std::optional<std::string>& label : {from.label, to_label}) {
        if (label) arguments.insert(arguments.end(), {"--label", *label});
    }
    arguments.insert(arguments.end(), {"--", from.path, to});
    const auto ran = guarded_call([&] { return platform::run_program(arguments); });
    if (ran.failed || ran.result > 1) return failed("Diff failed: ", source, ran.error);
    if (ran.result == 1) status = status_differs;
    return std::nullopt;
}

// A folder against a version of it, or two versions: a line a changed
// entry, its path relative to the folder, leaving out what the versions'
// snapshots left out.
std::optional<Failure> diff_folder(const std::string& source, const Version& from, const Side& from_side,
                                   const Version* to, const std::string& to_path, bool json, std::int32_t& status) {
    platform::ErrorCode error = 0;
    std::optional<std::vector<std::string>> excludes = excludes_of_version(from, error);
    if (!excludes) return failed("Diff failed: ", source, error);
    if (to != nullptr) {
        const std::optional<std::vector<std::string>> more = excludes_of_version(*to, error);
        if (!more) return failed("Diff failed: ", source, error);
        excludes->insert(excludes->end(), more->begin(), more->end());
    }
    const bool permissions = permissions_kept_in(folder_of(from));
    const auto compared =
        guarded_call([&] { return platform::tree_changes(from_side.path, to_path, permissions, *excludes, false); });
    if (compared.failed) return failed("Diff failed: ", source, compared.error);
    const std::vector<platform::TreeChange>& changes = compared.result;
    std::string lines;
    for (const platform::TreeChange& change : changes) {
        if (!json) {
            (((lines += change.mark) += ' ') += change.path) += '\n';
            continue;
        }
        const bool folder = change.kind == platform::EntryKind::folder;
        std::vector<std::pair<std::string_view, std::string>> members{
            {"path", json_string(change.path)},
            {"change", json_string(std::string(1, change.mark))},
            {"kind", json_string(folder ? "folder" : change.link ? "link" : "file")},
            {"size", folder ? "null" : std::to_string(change.size)},
            {"backup", json_string(from.entry.path)},
            {"stamp", json_string(stamp_digits(from.entry.stamp))}};
        if (to != nullptr) {
            members.emplace_back("to", json_string(to->entry.path));
            members.emplace_back("to_stamp", json_string(stamp_digits(to->entry.stamp)));
        }
        lines += json_line(members);
    }
    print_answer(lines);
    if (!changes.empty()) status = status_differs;
    return std::nullopt;
}

// A version compared with the source as it is, or with another version.
std::optional<Failure> compare(const std::string& source, const Version& from, const Version* to, bool json,
                               std::int32_t& status) {
    if (to != nullptr && from.entry.folder != to->entry.folder) {
        return failed("Diff failed: ", source, from.entry.folder ? ENOTDIR : EISDIR);
    }
    platform::ErrorCode error = 0;
    const std::optional<Side> from_side = side_of(from, to != nullptr, error);
    std::optional<Side> to_side = Side{source, std::nullopt};
    if (to != nullptr && from_side) to_side = side_of(*to, true, error);
    if (!from_side || !to_side) return failed("Diff failed: ", source, error);
    return from.entry.folder ? diff_folder(source, from, *from_side, to, to_side->path, json, status)
                             : diff_file(source, *from_side, to_side->path, to_side->label, status);
}

}  // namespace

std::optional<Failure> diff_versions(const Request& request, std::int32_t& status) {
    for (const std::string& source : request.sources) {
        SourceState state;
        platform::ErrorCode error = 0;
        const std::optional<std::vector<Version>> found = versions_of(source, state, false, error);
        if (!found) return failed("Diff failed: ", source, error);
        const std::optional<std::size_t> from = made_by(*found, request.at);
        const std::optional<std::size_t> to = request.to ? made_by(*found, request.to) : std::nullopt;
        if (!from || (request.to && !to)) return no_backup(source);
        if (!request.to && !state.kind) return failed("Diff failed: ", source, ENOENT);
        if (auto failure = compare(source, (*found)[*from], to ? &(*found)[*to] : nullptr, request.json, status)) {
            return failure;
        }
    }
    return std::nullopt;
}
