// POSIX only: a backup is a faithful copy of its source (owner, mode, ACL,
// extended attributes, holes), and never grants more than the source did.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "support/sandbox.h"
#include "support/spawn.h"

namespace {

namespace fs = std::filesystem;

constexpr uid_t nobody = 65534;
constexpr uid_t daemon_user = 1;
constexpr const char* access_acl = "system.posix_acl_access";
constexpr const char* default_acl = "system.posix_acl_default";
constexpr const char* user_attribute = "user.note";

// An ACL in the form the kernel keeps in its extended attribute: a version,
// then tag, permissions and id of each entry, little-endian.
std::string acl(std::initializer_list<std::array<std::uint32_t, 3>> entries) {
    std::string bytes;
    const auto put = [&](std::uint32_t value, int size) {
        for (int i = 0; i < size; ++i) bytes += static_cast<char>(value >> (8 * i));
    };
    put(2, 4);
    for (const auto& [tag, permissions, id] : entries) {
        put(tag, 2);
        put(permissions, 2);
        put(id, 4);
    }
    return bytes;
}

constexpr std::uint32_t no_id = 0xFFFFFFFF;
// user::rw, user:nobody:rw, group::r, mask::rw, other::r
const std::string shared_with_nobody = acl({{1, 6, no_id}, {2, 6, nobody}, {4, 4, no_id}, {16, 6, no_id}, {32, 4, no_id}});
// The same as a folder's default, with everything for nobody.
const std::string default_for_nobody = acl({{1, 7, no_id}, {2, 7, nobody}, {4, 5, no_id}, {16, 7, no_id}, {32, 0, no_id}});

std::optional<std::string> attribute(const fs::path& path, const char* name) {
    std::string value(4096, '\0');
    const ssize_t size = getxattr(path.c_str(), name, value.data(), value.size());
    if (size < 0) return std::nullopt;
    value.resize(static_cast<std::size_t>(size));
    return value;
}

bool set_attribute(const fs::path& path, const char* name, const std::string& value) {
    return setxattr(path.c_str(), name, value.data(), value.size(), 0) == 0;
}

struct Row {
    const char* what;
    uid_t owner;  // of the source
    mode_t mode;
    std::string acl;             // of the source, none when empty
    std::string user_value;      // of its user.note attribute, none when empty
    bool as_nobody;              // run by an ordinary user rather than root
    bool moved_elsewhere;        // moved into a "backup" that links to a tmpfs folder
    std::string fault;           // a strace fault injected into the run
    bool folder_default_acl;     // the backup folder gives nobody everything by default
    // What the backup must have:
    bool owner_kept;
    mode_t backup_mode;
    bool acl_kept;  // the source's ACL; otherwise none at all
};

TEST(PosixFaithfulCopy, OwnerModeAclAttributes) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to own files as other users";
    const std::string acl_refused = "inject=fsetxattr:error=EOPNOTSUPP";
    const std::vector<Row> rows{
        {"setuid file of another user, copied by root", nobody, 06755, "", "", false, false, "", false, true, 06755, false},
        {"setuid file of another user, copied by an ordinary user", daemon_user, 06755, "", "", true, false, "", false,
         false, 0755, false},
        {"ACL", 0, 0664, shared_with_nobody, "", false, false, "", false, true, 0664, true},
        {"user attribute", 0, 0640, "", "hello", false, false, "", false, true, 0640, false},
        {"ACL the target refuses: group and others get nothing", 0, 0664, shared_with_nobody, "", false, false,
         acl_refused, false, true, 0600, false},
        {"no ACL, in a folder whose default ACL gives nobody all", 0, 0640, "", "", false, false, "", true, true, 0640,
         false},
        {"setuid file of another user, moved elsewhere by root", nobody, 06755, "", "", false, true, "", false, true,
         06755, false},
        {"ACL, moved elsewhere", nobody, 0664, shared_with_nobody, "", false, true, "", false, true, 0664, true},
        {"user attribute, moved elsewhere", nobody, 0644, "", "hello", false, true, "", false, true, 0644, false},
    };
    const fs::path elsewhere = "/dev/shm/tesrak-test-" + std::to_string(getpid());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const Sandbox sandbox;
        fs::permissions(sandbox.path(), fs::perms::all);
        if (row.moved_elsewhere) {
            fs::create_directory(elsewhere);
            fs::create_directory_symlink(elsewhere, sandbox.path() / "backup");
        } else {
            fs::create_directory(sandbox.path() / "backup");
            fs::permissions(sandbox.path() / "backup", fs::perms::all);
        }
        const fs::path source = sandbox.path() / "report";
        sandbox.write("report", "content\n");
        ASSERT_EQ(chown(source.c_str(), row.owner, row.owner == nobody ? 65534 : row.owner), 0);
        ASSERT_EQ(chmod(source.c_str(), row.mode), 0);
        const fs::path probe = sandbox.path() / "backup" / "probe";
        sandbox.write("backup/probe", "");
        const bool settable = (row.acl.empty() || (set_attribute(source, access_acl, row.acl) &&
                                                   set_attribute(probe, access_acl, row.acl))) &&
                              (row.user_value.empty() || (set_attribute(source, user_attribute, row.user_value) &&
                                                          set_attribute(probe, user_attribute, row.user_value))) &&
                              (!row.folder_default_acl ||
                               set_attribute(sandbox.path() / "backup", default_acl, default_for_nobody));
        fs::remove(probe);
        if (!settable) {
            std::cout << "skipped, the file systems here cannot hold what it needs: " << row.what << "\n";
            fs::remove_all(elsewhere);
            continue;
        }
        std::vector<std::string> launcher;
        if (row.as_nobody) launcher = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        if (!row.fault.empty()) launcher = {"strace", "-f", "-qq", "-o", "/dev/null", "-e", row.fault};
        std::vector<std::string> arguments{"report"};
        if (!row.moved_elsewhere) arguments.emplace_back("-copy");
        const ProgramRun result = run_tesrak_via(launcher, arguments, sandbox.path());
        ASSERT_EQ(result.exit_code, 0) << result.printed();
        const std::vector<std::string> names = sandbox.backups();
        ASSERT_EQ(names.size(), 1U);
        const fs::path backup = sandbox.path() / "backup" / names[0];
        struct stat copy {};
        ASSERT_EQ(stat(backup.c_str(), &copy), 0);
        const uid_t owner = row.owner_kept ? row.owner : nobody;
        EXPECT_EQ(copy.st_uid, owner);
        EXPECT_EQ(copy.st_gid, owner == nobody ? 65534 : owner);
        EXPECT_EQ(copy.st_mode & 07777, row.backup_mode) << std::oct << (copy.st_mode & 07777);
        EXPECT_EQ(attribute(backup, access_acl), row.acl_kept ? std::optional(row.acl) : std::nullopt);
        if (!row.user_value.empty()) {
            EXPECT_EQ(attribute(backup, user_attribute), row.user_value);
        }
        EXPECT_EQ(sandbox.read("backup/" + names[0]), "content\n");
        fs::remove_all(elsewhere);
    }
}

TEST(PosixFaithfulCopy, SparseAndDenseFiles) {
    const std::string data(4096, 'x');
    for (const bool sparse : {true, false}) {
        const Sandbox sandbox;
        const fs::path source = sandbox.path() / "disk.img";
        const int fd = open(source.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        // 16 MiB that hold 4 KiB of data at 1 MiB, or 1 MiB of data only.
        const off_t mebibyte = off_t{1} << 20;
        for (off_t at = sparse ? mebibyte : 0; at < mebibyte + (sparse ? 1 : 0); at += 4096) {
            ASSERT_EQ(pwrite(fd, data.data(), data.size(), at), 4096);
        }
        ASSERT_EQ(ftruncate(fd, sparse ? 16 * mebibyte : mebibyte), 0);
        close(fd);
        ASSERT_EQ(run_tesrak({"disk.img", "-copy"}, sandbox.path()).exit_code, 0);
        const fs::path backup = sandbox.path() / "backup" / sandbox.backups().at(0);
        struct stat original {};
        struct stat copy {};
        ASSERT_EQ(stat(source.c_str(), &original), 0);
        ASSERT_EQ(stat(backup.c_str(), &copy), 0);
        EXPECT_EQ(copy.st_size, original.st_size);
        EXPECT_LE(copy.st_blocks, original.st_blocks) << (sparse ? "sparse" : "dense");
        EXPECT_TRUE(sandbox.read("disk.img") == sandbox.read("backup/" + sandbox.backups().at(0)));
    }
}

}  // namespace
