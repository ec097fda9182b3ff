#include "run/restore.h"

#include <vector>

#include "history/json_lines.h"
#include "names/naming.h"
#include "platform/platform.h"
#include "run/backup.h"
#include "run/guarded.h"
#include "run/history.h"
#include "run/run.h"
#include "run/versions.h"
#include "snapshot/record.h"

namespace {

// The lines of a version's record that are its own: none where it has none
// (made before records were kept, or by hand) or the record cannot be read.
// Their paths are from the version's backup folder.
std::vector<RecordLine> record_of(const Version& version) {
    const std::string path = path_in_folder(version);
    auto read = guarded_call(
        [&] { return platform::recorded_lines(folder_of(version), stamp_digits(version.entry.stamp), false); });
    if (read.failed) return {};
    std::erase_if(read.result, [&](const RecordLine& line) { return !belongs_to(line.path, path); });
    return std::move(read.result);
}

// Whether a source equals a version of it: a file byte for byte, a folder
// entry for entry but those the patterns leave out; permission bits and
// owners only where the version's disk keeps them.
bool same_as_version(const std::string& source, const Version& version, std::span<const std::string> excludes) {
    platform::ErrorCode error = 0;
    const std::optional<Side> side = side_of(version, false, error);
    if (!side) return false;
    return same_contents_as(source, side->path, version.entry.folder, permissions_kept_in(folder_of(version)),
                            excludes);
}

// Writes the chosen version to a new file or folder, or to standard output.
std::optional<Failure> restore_elsewhere(const Request& request, const Version& version) {
    const std::string& target = *request.output;
    const bool to_output = target == "-";
    if (request.dry_run) {
        print_answer("+ " + target + "\n");
        return std::nullopt;
    }
    const std::vector<RecordLine> recorded = record_of(version);
    const std::string folder = folder_of(version);
    const std::string path = path_in_folder(version);
    const auto written = guarded_call([&] {
        if (!to_output) return platform::restore_version(folder, path, target, false, {}, recorded);
        std::optional<RecordLine> own;
        for (const RecordLine& line : recorded) {
            if (line.path == path) own = line;
        }
        return platform::write_version(folder, path, own);
    });
    if (written.failed) return failed("Restore failed: ", to_output ? request.sources.front() : target, written.error);
    return std::nullopt;
}

}  // namespace

std::optional<Failure> restore_versions(const Request& request, const BackupSettings& settings, std::string& stamp) {
    std::vector<Version> chosen;
    std::vector<SourceState> states;
    for (const std::string& source : request.sources) {
        // Nobody else's link at the name may send the restore elsewhere.
        if (!request.output) {
            const auto trusted = guarded_call([&] { return platform::links_trusted(source); });
            if (trusted.failed) return failed("Restore failed: ", source, trusted.error);
        }
        SourceState state;
        platform::ErrorCode error = 0;
        std::optional<std::vector<Version>> found = versions_of(source, state, false, error);
        if (!found) return failed("Restore failed: ", source, error);
        const std::optional<std::size_t> newest = made_by(*found, request.at);
        if (!newest) return no_backup(source);
        chosen.push_back(std::move((*found)[*newest]));
        states.push_back(state);
    }
    if (request.output) return restore_elsewhere(request, chosen.front());
    BackupSettings copying = settings;
    copying.copy = 1;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        const std::string& source = request.sources[i];
        platform::ErrorCode error = 0;
        const std::optional<std::vector<std::string>> excludes = excludes_of_version(chosen[i], error);
        if (!excludes) return failed("Restore failed: ", source, error);
        const bool stands = states[i].kind.has_value();
        if (stands && same_as_version(source, chosen[i], *excludes)) continue;
        std::vector<platform::Transfer> current;
        if (stands) {
            // What the version leaves out stays in place: its copy leaves it out too.
            const std::string suffix = build_suffix(stamp, settings);
            current.push_back(
                {source, compose_target(source, suffix, settings), {}, *excludes, record_of_suffix(suffix)});
            // The backup of the file as it is would take the place of the one
            // to be restored (the same name, with -unique, on the same day).
            if (current.front().target == chosen[i].entry.path) return failed("Restore failed: ", source, 0);
            if (request.dry_run) {
                print_answer("+ " + current.front().target + "\n");
            } else if (auto failure = transfer_files(current, copying, stamp)) {
                return failure;
            }
        }
        if (request.dry_run) {
            print_answer("+ " + source + "\n");
            continue;
        }
        const std::vector<RecordLine> recorded = record_of(chosen[i]);
        const auto restored = guarded_call([&] {
            return platform::restore_version(folder_of(chosen[i]), path_in_folder(chosen[i]), source, true, *excludes,
                                             recorded);
        });
        if (restored.failed) {
            // Where nothing was restored (only a last flush may fail after the
            // file took the version's content), the backup of the version that
            // stays goes again, so that a failed attempt leaves no more behind.
            if (!current.empty() && !same_as_version(source, chosen[i], *excludes)) {
                const std::string made = current.front().target;
                const std::string made_record = current.front().record;
                guarded_call([&] { return platform::remove_backups({&made, 1}, {&made_record, 1}); });
            }
            return failed("Restore failed: ", source, restored.error);
        }
    }
    return std::nullopt;
}
