#include "cmdline/cmdline.h"

#include <algorithm>
#include <array>
#include <iterator>

#include "platform/platform.h"
#include "snapshot/exclude.h"

namespace {

constexpr char blank = ' ';
constexpr char tab = '\t';
constexpr char quote = '"';

struct Switch {
    std::string_view name;
    enum Action { copy, post, pre, separator, unique } action;
};

constexpr std::array switches{
    Switch{"copy", Switch::copy},       Switch{"post", Switch::post},
    Switch{"post_ext", Switch::post},   Switch{"pre", Switch::pre},
    Switch{"pre_ext", Switch::pre},     Switch{"sep", Switch::separator},
    Switch{"separator", Switch::separator}, Switch{"unique", Switch::unique},
};

constexpr std::array<std::string_view, 5> separator_values{".", ",", "-", "_", "="};

std::string fold_to_lower(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    }
    return folded;
}

Failure refusal(ExitStatus status, std::string_view message, std::string_view detail) {
    std::string line(message);
    line += detail;
    return Failure{status, std::move(line)};
}

// The answer to --help after the usage lines.
constexpr std::array<std::string_view, 42> switch_table{
    "",
    "Each argument is a file or folder to back up, or a switch:",
    "  -copy                      copy the file; the original stays (default: move it);",
    "                             a folder is copied as one snapshot of its tree",
    "  -post, -post_ext           put the date and time after the whole name",
    "  -pre, -pre_ext             put them before the extension (the default)",
    "  -unique=date|time|datetime which parts of the stamp go into the name (default: both)",
    "  -sep=C, -separator=C       the character before each part: . , - _ = (default .)",
    "  --keep=N                   then remove each file's backups beyond the newest N",
    "  --keep-hourly=N, --keep-daily=N, --keep-weekly=N, --keep-monthly=N, --keep-yearly=N",
    "                             or keep the newest of each of the last N hours, days, ...",
    "  --keep-within=DURATION     or keep all made within 12h, 7d, 4w, 6m, 1y of the newest",
    "  --if-changed               with -copy: no copy of a file its newest backup equals",
    "  --dry-run                  print what would be done (+ made, - removed), do nothing",
    "  --no-wait                  end at once (status 12) where another run holds backup/",
    "  --no-share                 with -copy: a folder's snapshot shares no unchanged file",
    "                             with the one before it (each is a copy of its own)",
    "  --exclude=PATTERN          with -copy: leave out of a folder's snapshot what matches",
    "                             (as in .gitignore; repeatable); a folder holding a",
    "                             CACHEDIR.TAG is always left out",
    "  --quiet                    show no progress line on a terminal during a long run",
    "  --list                     print each file's versions instead, newest first: its",
    "                             backups and its place in the snapshots of folders above it",
    "  --null                     with --list: end each path with a NUL byte",
    "  --distinct                 with --list: one line a version, the backup that first saved it",
    "  --size                     with --list: each one's room and what removing it frees, as du -h",
    "  --restore                  put back each file's newest version instead; the file",
    "                             as it is is backed up first where it differs",
    "  --output=DEST              with --restore of one file: write the version to DEST, a",
    "                             new file or folder, instead (-: to standard output)",
    "  --diff                     show what changed since each file's newest version instead",
    "                             (status 1 where something did, as diff does)",
    "  --verify[=N/T]             check each file's backups against their recorded SHA-256",
    "                             instead (=N/T: only the N-th of T groups of files)",
    "  --at=STAMP                 with --restore, --diff or --verify: the newest made by then",
    "  --to=STAMP                 with --diff --at=STAMP: compare with the version at this",
    "                             stamp instead of the file",
    "  --json                     with --list, --diff, --verify or --dry-run: a JSON object a line",
    "  --                         every later argument is a file",
    "  --help, --version          this text, or the version, alone",
    "",
    "Examples: tesrak --keep=7 -copy *.conf; tesrak --list notes.txt | head -n 1",
};

// The --keep switches: the newest N, or N periods of the calendar.
struct KeepSwitch {
    std::string_view name;
    std::uint32_t Retention::*count;
};

constexpr std::array keep_switches{
    KeepSwitch{"--keep", &Retention::last},         KeepSwitch{"--keep-hourly", &Retention::hourly},
    KeepSwitch{"--keep-daily", &Retention::daily},   KeepSwitch{"--keep-weekly", &Retention::weekly},
    KeepSwitch{"--keep-monthly", &Retention::monthly}, KeepSwitch{"--keep-yearly", &Retention::yearly},
};

// Applies a valued --keep switch; false where the word is none of them.
bool apply_keep(std::string_view name, std::string_view value, Request& request, std::optional<Failure>& failure) {
    const auto refused = [&] {
        failure = refusal(status_invalid_keep, "Invalid choice for the " + std::string(name) + " option: ", value);
        return true;
    };
    if (name == "--keep-within") {
        request.keep.within = parse_duration(value);
        return request.keep.within || refused();
    }
    const auto* const rule = std::find_if(keep_switches.begin(), keep_switches.end(),
                                          [&](const KeepSwitch& keep) { return keep.name == name; });
    if (rule == keep_switches.end()) return false;
    const std::optional<std::uint32_t> count = parse_count(value);
    if (!count) return refused();
    request.keep.*(rule->count) = *count;
    return true;
}

// "N/T": two counts, N at most T.
std::optional<VerifyGroup> parse_verify_group(std::string_view value) {
    const std::size_t slash = value.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::optional<std::uint32_t> number = parse_count(value.substr(0, slash));
    const std::optional<std::uint32_t> groups = parse_count(value.substr(slash + 1));
    if (!number || !groups || *number > *groups) return std::nullopt;
    return VerifyGroup{*number, *groups};
}

// The words of the POSIX switches that fit some tasks only, as typed, for
// the refusal of one that does not fit.
struct LongSwitches {
    std::string_view null, at, keep, if_changed, no_share, json, exclude, distinct, size, output, to;
};

// Applies a word that begins with "--" (POSIX).
std::optional<Failure> apply_long_switch(std::string_view word, Request& request, LongSwitches& seen) {
    const std::size_t equals = word.find('=');
    const std::string_view name = word.substr(0, equals);
    const std::string_view value = equals == std::string_view::npos ? std::string_view() : word.substr(equals + 1);
    const bool valued = equals != std::string_view::npos;
    if ((!valued && (name == "--list" || name == "--restore" || name == "--diff")) || name == "--verify") {
        const Task task = name == "--list"      ? Task::list
                          : name == "--restore" ? Task::restore
                          : name == "--diff"    ? Task::diff
                                                : Task::verify;
        if (request.task != Task::back_up && request.task != task) return refusal(status_invalid_option, "Invalid option: ", word);
        request.task = task;
        if (valued) {
            const std::optional<VerifyGroup> group = parse_verify_group(value);
            if (!group) return refusal(status_invalid_option, "Invalid option: ", word);
            request.verify_group = *group;
        }
    } else if (!valued && name == "--null") {
        request.null_ends = true;
        seen.null = word;
    } else if (!valued && name == "--if-changed") {
        request.if_changed = true;
        seen.if_changed = word;
    } else if (!valued && name == "--json") {
        request.json = true;
        seen.json = word;
    } else if (valued && name == "--exclude") {
        if (!valid_exclude(value)) return refusal(status_invalid_option, "Invalid option: ", word);
        request.excludes.emplace_back(value);
        seen.exclude = word;
    } else if (!valued && name == "--dry-run") {
        request.dry_run = true;
    } else if (!valued && name == "--no-wait") {
        request.no_wait = true;
    } else if (!valued && name == "--quiet") {
        request.quiet = true;
    } else if (!valued && name == "--no-share") {
        request.no_share = true;
        seen.no_share = word;
    } else if (std::optional<Failure> failure; valued && apply_keep(name, value, request, failure)) {
        if (failure) return failure;
        seen.keep = word;
    } else if (valued && name == "--at") {
        request.at = parse_stamp(value);
        if (!request.at) return refusal(status_invalid_at, "Invalid choice for the --at option: ", value);
        seen.at = word;
    } else if (valued && name == "--to") {
        request.to = parse_stamp(value);
        if (!request.to) return refusal(status_invalid_at, "Invalid choice for the --to option: ", value);
        seen.to = word;
    } else if (!valued && name == "--distinct") {
        request.distinct = true;
        seen.distinct = word;
    } else if (!valued && name == "--size") {
        request.sizes = true;
        seen.size = word;
    } else if (valued && name == "--output" && !value.empty()) {
        request.output = std::string(value);
        seen.output = word;
    } else {
        return refusal(status_invalid_option, "Invalid option: ", word);
    }
    return std::nullopt;
}

// The first switch that does not fit the task, refused as unknown: --null
// lists (a line of text a path), --at restores or compares, --keep and
// --if-changed back up (a copy, for --if-changed: a move always moves),
// --json lists, compares or tells what a dry run would do; --distinct and
// --size list, --output restores one file, --to compares two versions.
std::optional<Failure> check_fit(const Request& request, const BackupSettings& settings, const LongSwitches& seen) {
    for (const auto& [word, fits] : {
             std::pair{seen.null, request.task == Task::list && !request.json},
             std::pair{seen.at, request.task == Task::restore || request.task == Task::diff ||
                                    request.task == Task::verify},
             std::pair{seen.json, request.task == Task::list || request.task == Task::diff ||
                                      request.task == Task::verify ||
                                      (request.task == Task::back_up && request.dry_run)},
             std::pair{seen.exclude, request.task == Task::back_up && settings.copy == 1},
             std::pair{seen.keep, request.task == Task::back_up},
             std::pair{seen.if_changed, request.task == Task::back_up && settings.copy == 1},
             std::pair{seen.no_share, request.task == Task::back_up && settings.copy == 1},
             std::pair{seen.distinct, request.task == Task::list},
             std::pair{seen.size, request.task == Task::list},
             std::pair{seen.output, request.task == Task::restore && request.sources.size() <= 1},
             std::pair{seen.to, request.task == Task::diff && request.at.has_value()},
         }) {
        if (!word.empty() && !fits) return refusal(status_invalid_option, "Invalid option: ", word);
    }
    return std::nullopt;
}

std::size_t skip_blanks(std::string_view text, std::size_t at) {
    while (at < text.size() && text[at] == blank) ++at;
    return at;
}

}  // namespace

std::string command_tail(std::string_view command_line) {
    const std::string_view line = command_line.substr(0, command_line.find('\0'));
    std::size_t at = 0;
    if (line.empty()) return {};
    if (line[0] == quote) {
        const std::size_t closing = line.find(quote, 1);
        // An unclosed quote leaves nothing after the name.
        if (closing == std::string_view::npos) return {};
        at = skip_blanks(line, closing + 1);
    } else if (line[0] == blank) {
        at = skip_blanks(line, 0);
    } else {
        // The first byte belongs to the name whatever it is, a tab included.
        at = 1;
        while (at < line.size() && static_cast<unsigned char>(line[at]) > ' ') ++at;
        at = skip_blanks(line, at);
    }
    return std::string(line.substr(at));
}

std::vector<std::string_view> split_fields(std::string_view text) {
    std::vector<std::string_view> fields;
    fields.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), blank)) + 1);
    std::size_t start = 0;
    for (std::size_t blank_at; (blank_at = text.find(blank, start)) != std::string_view::npos;
         start = blank_at + 1) {
        fields.push_back(text.substr(start, blank_at - start));
    }
    fields.push_back(text.substr(start));
    return fields;
}

OptionParts split_option(std::string_view field) {
    const std::string_view rest = field.substr(1);
    const std::size_t delimiter = rest.find_first_of("=:");
    if (delimiter == std::string_view::npos) return {rest, {}};
    return {rest.substr(0, delimiter), rest.substr(delimiter + 1)};
}

std::optional<Failure> apply_option(std::string_view field, BackupSettings& settings) {
    const auto [name, value] = split_option(field);
    const std::string folded = fold_to_lower(name);
    const auto* const entry = std::find_if(switches.begin(), switches.end(),
                                    [&](const Switch& s) { return s.name == folded; });
    if (entry == switches.end()) {
        return refusal(status_invalid_option, "Invalid option: ", field);
    }
    switch (entry->action) {
    case Switch::copy:
        settings.copy = 1;
        break;
    case Switch::post:
        settings.post_ext = 1;
        break;
    case Switch::pre:
        settings.post_ext = 0;
        break;
    case Switch::separator:
        if (std::find(separator_values.begin(), separator_values.end(), value) ==
            separator_values.end()) {
            return refusal(status_invalid_separator, "Invalid choice for the /separator option: ",
                           value);
        }
        settings.separator = std::string(value);
        break;
    case Switch::unique:
        settings.unique_date = 0;
        settings.unique_time = 0;
        if (value == "date") {
            settings.unique_date = 1;
        } else if (value == "time") {
            settings.unique_time = 1;
        } else if (value == "datetime") {
            settings.unique_date = 1;
            settings.unique_time = 1;
        } else {
            return refusal(status_invalid_unique, "Invalid choice for the /unique option: ", value);
        }
        break;
    }
    return std::nullopt;
}

std::optional<Failure> parse_command_tail(std::string tail, BackupSettings& settings,
                                          std::string& source) {
    if (tail.empty()) {
        return Failure{status_no_arguments, "Invalid Command Format: no arguments found"};
    }
    std::replace(tail.begin(), tail.end(), tab, blank);
    const std::vector<std::string_view> fields = split_fields(tail);
    source = fields.front();
    for (std::size_t k = 1; k < fields.size(); ++k) {
        const std::string_view field = fields[k];
        if (field.empty() || (field.front() != '-' && field.front() != '/')) continue;
        if (auto failure = apply_option(field, settings)) return failure;
    }
    return std::nullopt;
}

std::optional<Failure> parse_arguments(const std::vector<std::string_view>& words,
                                       BackupSettings& settings, Request& request) {
    const Failure no_arguments{status_no_arguments, "Invalid Command Format: no arguments found"};
    if (words.empty()) return no_arguments;
    if (words.size() == 1 && words.front() == "--help") {
        request.answer.assign(std::begin(usage_lines), std::end(usage_lines));
        request.answer.insert(request.answer.end(), switch_table.begin(), switch_table.end());
        return std::nullopt;
    }
    if (words.size() == 1 && words.front() == "--version") {
        request.answer = {"tesrak " TESRAK_VERSION};
        return std::nullopt;
    }
    bool switches_end = false;
    LongSwitches seen;
    for (const std::string_view word : words) {
        if (switches_end || word.size() < 2 || word.front() != '-') {
            request.sources.emplace_back(word);
        } else if (word == "--") {
            switches_end = true;
        } else if (auto failure = word.starts_with("--") ? apply_long_switch(word, request, seen)
                                                         : apply_option(word, settings)) {
            return failure;
        }
    }
    if (auto failure = check_fit(request, settings, seen)) return failure;
    if (request.sources.empty()) return no_arguments;
    return std::nullopt;
}

std::optional<Failure> parse_command_line(BackupSettings& settings, Request& request) {
#ifdef _WIN32
    request.sources.resize(1);
    return parse_command_tail(command_tail(platform::command_line()), settings, request.sources.front());
#else
    return parse_arguments(platform::arguments(), settings, request);
#endif
}
