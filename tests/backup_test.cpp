#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "run/backup.h"

namespace {

const std::string stamp = "2011030413050259";

BackupSettings with(std::int32_t post_ext, std::int32_t unique_date, std::int32_t unique_time,
                    std::string separator) {
    return BackupSettings{0, post_ext, unique_date, unique_time, std::move(separator)};
}

struct TargetRow {
    std::string source;
    BackupSettings settings;
    std::int32_t dot;
    std::string target;  // after the backup folder and the platform's separator
};

// Where POSIX differs, by source and separator: a backslash is no separator,
// the folder parts of a path go inside the backup folder, and a hidden
// file's leading dot starts no extension.
const std::map<std::pair<std::string, std::string>, std::pair<std::int32_t, std::string>> posix_differs{
    {{"dir.d\\file", "."}, {4, "dir.20110304.13050259.d\\file"}},
    {{"/etc/hosts", "."}, {0, "etc/hosts.20110304.13050259"}},
    {{"./a//b.txt", "."}, {7, "a/b.20110304.13050259.txt"}},
    {{".", "."}, {0, ".20110304.13050259"}},
    {{".profile", "."}, {0, ".profile.20110304.13050259"}},
    {{".profile", "_"}, {0, ".profile_20110304_13050259"}},
    {{"conf/.bashrc", "."}, {0, "conf/.bashrc.20110304.13050259"}},
};

TEST(BackupTarget, SuffixDotAndTargetOfEachSource) {
    const BackupSettings defaults;
    const std::vector<TargetRow> rows{
        {"report.txt", defaults, 7, "report.20110304.13050259.txt"},
        {"report.txt", with(1, 1, 1, "."), 7, "report.txt.20110304.13050259"},
        {"report.txt", with(0, 1, 0, "."), 7, "report.20110304.txt"},
        {"report.txt", with(0, 0, 1, "."), 7, "report.13050259.txt"},
        {"report.txt", with(0, 1, 1, "_"), 7, "report_20110304_13050259.txt"},
        {"report.txt", with(1, 1, 1, "_"), 7, "report.txt_20110304_13050259"},
        {"report.txt", with(0, 1, 0, "-"), 7, "report-20110304.txt"},
        {"report.txt", with(0, 1, 1, ","), 7, "report,20110304,13050259.txt"},
        {"report.txt", with(0, 1, 1, "="), 7, "report=20110304=13050259.txt"},
        {"archive.tar.gz", defaults, 12, "archive.tar.20110304.13050259.gz"},
        {"archive.tar.gz", with(1, 1, 1, "."), 12, "archive.tar.gz.20110304.13050259"},
        {"a.b.c", defaults, 4, "a.b.20110304.13050259.c"},
        {"noext", defaults, 0, "noext.20110304.13050259"},
        {"noext", with(0, 1, 1, "_"), 0, "noext_20110304_13050259"},
        {"name.", defaults, 0, "name..20110304.13050259"},
        {".profile", defaults, 1, ".20110304.13050259.profile"},
        {".profile", with(0, 1, 1, "_"), 1, "_20110304_13050259.profile"},
        {"a..", defaults, 2, "a.20110304.13050259.."},
        {"sub\\report.txt", defaults, 11, "sub\\report.20110304.13050259.txt"},
        {"dir.d\\file", defaults, 0, "dir.d\\file.20110304.13050259"},
        {"dir.d/file", defaults, 0, "dir.d/file.20110304.13050259"},
        {"conf/app.yml", defaults, 9, "conf/app.20110304.13050259.yml"},
        {"/etc/hosts", defaults, 0, "/etc/hosts.20110304.13050259"},
        {"./a//b.txt", defaults, 7, "./a//b.20110304.13050259.txt"},
        {"../x.txt", defaults, 5, "../x.20110304.13050259.txt"},
        {"D:\\data\\report.txt", defaults, 15, "D:\\data\\report.20110304.13050259.txt"},
        {"", defaults, 0, ".20110304.13050259"},
        {".", defaults, 0, "..20110304.13050259"},
        {"x", defaults, 0, "x.20110304.13050259"},
        {"conf/.bashrc", defaults, 6, "conf/.20110304.13050259.bashrc"},
        {".a.b", defaults, 3, ".a.20110304.13050259.b"},
    };
    for (const TargetRow& row : rows) {
        SCOPED_TRACE("source: " + row.source + ", separator " + row.settings.separator);
        const auto posix = posix_differs.find({row.source, row.settings.separator});
        const auto [dot, target] = platform::posix_conventions && posix != posix_differs.end()
                                       ? posix->second
                                       : std::pair(row.dot, row.target);
        EXPECT_EQ(find_extension_dot(row.source), dot);
        const std::string suffix = build_suffix(stamp, row.settings);
        EXPECT_EQ(compose_target(row.source, suffix, row.settings),
                  std::string("backup") + platform::folder_separator + target);
    }
}

TEST(BackupTarget, SuffixOfALongerStamp) {
    EXPECT_EQ(build_suffix("10000010203040500", BackupSettings{}), ".10000010.03040500");
}

TEST(BackupTarget, TargetsThatLeaveTheBackupFolder) {
    const std::string s(1, platform::folder_separator);
    const std::vector<std::pair<std::string, bool>> rows{
        {"backup" + s + ".." + s + "report.20110304.txt", true},
        {"backup" + s + "a" + s + ".." + s + ".." + s + "x", true},
        {"backup" + s + "..", true},
        {"backup" + s + "..report.txt", false},
        {"backup" + s + "...", false},
        {"backup" + s + "a..b" + s + "c", false},
        {"backup" + s + "report.txt", false},
    };
    for (const auto& [target, leaves] : rows) {
        EXPECT_EQ(leaves_backup_folder(target), leaves) << target;
    }
#ifdef _WIN32
    EXPECT_TRUE(leaves_backup_folder("backup\\../x"));
#else
    EXPECT_FALSE(leaves_backup_folder("backup/..\\x"));
#endif
}

}  // namespace
