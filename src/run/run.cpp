#include "run/run.h"

#include <unordered_set>
#include <vector>

#include "cmdline/cmdline.h"
#include "platform/platform.h"
#include "run/backup.h"
#include "run/guarded.h"
#include "run/settings.h"

namespace {

constexpr std::string_view line_end = "\r\n";

// The exit step: the "ErrorLevel:" line for a failure, then the end of the process.
[[noreturn]] void exit_run(std::int32_t status) {
    if (status != status_ok) print_line(error_level_line(status));
    platform::exit_process(status);
}

void write_guarded(std::string_view bytes) {
    guarded_call([&] { return platform::write_stdout(bytes); });
}

}  // namespace

std::string error_level_line(std::int32_t status) {
    std::string line = "ErrorLevel:";
    line += status < 0 ? '-' : ' ';
    // Widened so that the lowest value can be negated.
    const std::int64_t magnitude = status < 0 ? -static_cast<std::int64_t>(status) : status;
    line += std::to_string(magnitude);
    return line;
}

void print_line(std::string_view text) {
    if (!text.empty()) write_guarded(text);
    write_guarded(line_end);
}

void print_usage() {
    for (const std::string_view line : usage_lines) print_line(line);
}

void fail(const Failure& failure) {
    print_line(failure.message);
    if (failure.status == status_no_arguments) print_usage();
    exit_run(failure.status);
}

void out_of_memory() {
    platform::exit_process(fatal_exit_code);
}

void run() {
    BackupSettings settings;
    Request request;
    if (auto failure = parse_command_line(settings, request)) fail(*failure);
    if (!request.answer.empty()) {
        for (const std::string_view line : request.answer) print_line(line);
        exit_run(status_ok);
    }
    mivo_text current = mivo_current_date();
    if (current == nullptr) out_of_memory();
    const std::string stamp = platform::release_result_text(current);
    const std::string suffix = build_suffix(stamp, settings);
    // On Windows the backup folder is made before the file is checked; on
    // POSIX only once every file was checked, so that a run that fails
    // there leaves nothing behind.
    if (!platform::posix_conventions) make_backup_folder();
    // Every file is checked before any is touched; a file named twice (or by
    // two names with the same target) is backed up once.
    for (const std::string& source : request.sources) {
        if (auto failure = check_source(source)) fail(*failure);
    }
    std::vector<platform::Transfer> backups;
    std::unordered_set<std::string> targets;
    for (std::string& source : request.sources) {
        std::string target = compose_target(source, suffix, settings);
        if (auto failure = check_target(source, target)) fail(*failure);
        if (targets.insert(target).second) backups.push_back({std::move(source), std::move(target)});
    }
    if (platform::posix_conventions) make_backup_folder();
    if (auto failure = transfer_files(backups, settings)) fail(*failure);
    exit_run(status_ok);
}
