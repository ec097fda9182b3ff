#include "run/run.h"

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
    print_line("   Tesrak [infile] [-copy] [options]");
    print_line("      [-copy] Default is to move file, -copy leaves original");
}

void fail(std::int32_t status, std::string_view message, std::string_view detail) {
    std::string line(message);
    line += detail;
    print_line(line);
    if (status == status_no_arguments) print_usage();
    exit_run(status);
}

void out_of_memory() {
    platform::exit_process(fatal_exit_code);
}

void run() {
    BackupSettings settings;
    std::string source;
    parse_command_line(settings, source);
    mivo_text current = mivo_current_date();
    if (current == nullptr) out_of_memory();
    const std::string stamp = platform::release_result_text(current);
    const std::string suffix = build_suffix(stamp, settings);
    make_backup_folder();
    check_source(source);
    const std::string target = compose_target(source, suffix, settings);
    transfer_file(source, target, settings);
    exit_run(status_ok);
}
