#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "run/backup.h"
#include "names/backup_names.h"

namespace {

constexpr std::string_view stamp = "2011030413050259";

// Every target a run composes, whatever its settings, is read back as a
// backup of its source's last part with the stamp parts it was given. The
// date part as an extension ("a.20110304") makes names before the extension
// that also read, with another stamp, as names after the whole name.
TEST(BackupNames, EveryComposedTargetIsABackupOfItsSource) {
    const std::vector<std::string> sources{
        "report.txt", "archive.tar.gz", "a.b.c", "noext", "name.", "a..", ".profile", "...", ".a.b",
        "20110304",   "a.20110304",     "x",     "",      ".",     "conf/app.yml", "./a//b.txt",
        "dir/",       "a.b/",           "sub\\report.txt",   "dir.d\\file", "D:\\data\\r.txt"};
    const BackupStamp both{2011030413050259, true}, date{20110304, false}, time{13050259, false};
    for (const std::string& source : sources) {
        for (const std::string separator : {".", ",", "-", "_", "="}) {
            for (const auto& [unique_date, unique_time, expected] :
                 {std::tuple(1, 1, both), std::tuple(1, 0, date), std::tuple(0, 1, time)}) {
                for (const std::int32_t post_ext : {0, 1}) {
                    const BackupSettings settings{0, post_ext, unique_date, unique_time, separator};
                    const std::string target = compose_target(source, build_suffix(stamp, settings), settings);
                    const std::string_view name =
                        std::string_view(target).substr(target.find_last_of(platform::folder_separators) + 1);
                    const std::string_view file = source_last_part(source);
                    const SuffixPlace place = post_ext == 1 || find_extension_dot(file) == 0
                                                  ? SuffixPlace::after_name
                                                  : SuffixPlace::before_extension;
                    SCOPED_TRACE("source \"" + source + "\", target " + target);
                    EXPECT_EQ(backup_stamp(file, name, place), expected);
                    EXPECT_EQ(backup_stamp(file, name), expected);
                }
            }
        }
    }
}

struct NameRow {
    std::string_view file;
    std::string_view candidate;
    std::optional<BackupStamp> stamp;
    const char* reason;
};

TEST(BackupNames, NamesThatAreAndAreNotBackups) {
    const BackupStamp both{2026120713052599, true}, one{20261207, false};
    const std::vector<NameRow> rows{
        {"report.txt", "report.20261207.13052599.txt", both, "the default suffix"},
        {"report.txt", "report-20261207_13052599.txt", both, "any separator before each part"},
        {"report.txt", "report.txt=20261207", one, "one part after the whole name"},
        {"report.txt", "report.txt.bak", {}, "no stamp"},
        {"report.txt", "report.2026.txt", {}, "a part of 4 digits"},
        {"report.txt", "report.2026120a.txt", {}, "a part that is not all digits"},
        {"report.txt", "report-old.20261207.txt", {}, "a word before the stamp"},
        {"report.txt", "report 20261207.txt", {}, "a blank is no separator"},
        {"report.txt", "report.2026120713052599.txt", {}, "no separator between the parts"},
        {"report.txt", "report.20261207.13052599.20261207.txt", {}, "three parts"},
        {"report.txt", "report.txt", {}, "the file itself"},
        {"report", "report.txt.20261207", {}, "a backup of report.txt"},
        {"archive.tar.gz", "archive.20261207.tar.gz", {}, "before the wrong dot"},
        {"name.", "name.20261207.", {}, "a dot that ends the name is no extension dot"},
        {".profile", ".20261207.profile", one, "a leading dot as the extension dot (Windows, earlier runs)"},
        {".profile", ".profile.20261207", one, "after the whole name"},
        {"20261207", "20261207.20261207", one, "an all-digit name"},
        {"report.txt", ".tesrak-0a1b2c3d", {}, "a run's temporary file"},
        {".tesrak-log", ".tesrak-log.20261207", {}, "a temporary file's form wins"},
        // Read after the name the stamp would be 1305259920261207.
        {"a.20261207", "a.20261207.13052599.20261207", both, "both places: before the extension"},
    };
    for (const NameRow& row : rows) {
        EXPECT_EQ(backup_stamp(row.file, row.candidate), row.stamp) << row.candidate << ": " << row.reason;
    }
    EXPECT_EQ(backup_stamp("a.20261207", "a.20261207.13052599.20261207", SuffixPlace::after_name),
              (BackupStamp{1305259920261207, true}));
}

TEST(BackupNames, StampsGivenByTheUserAndTheTimeOfABackup) {
    const std::vector<std::pair<std::string_view, std::optional<StampValue>>> rows{
        {"2026120713052599", 2026120713052599}, {"20261207", 2026120723595999},
        {"2026120", {}}, {"202612071305259", {}}, {"20261207130525990", {}},
        {"2026-12-07", {}}, {"", {}},
        // Only dates and times that a clock shows.
        {"20261399", {}}, {"2026120899999999", {}}, {"20261200", {}}, {"20260001", {}},
        {"20260229", {}}, {"20240229", 2024022923595999}, {"21000229", {}}, {"20000229", 2000022923595999},
        {"20260431", {}}, {"20261231", 2026123123595999}, {"2026120824000000", {}},
        {"2026120823600000", {}}, {"2026120823596000", {}}, {"2026120823595999", 2026120823595999},
    };
    for (const auto& [text, value] : rows) EXPECT_EQ(parse_stamp(text), value) << text;
}

}  // namespace
