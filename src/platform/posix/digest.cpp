// SHA-256 of files, by OpenSSL's libcrypto (which uses the CPU's SHA
// instructions where it has them): of a backup as it is written, and of a
// file read back to check it.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <deque>

#include "platform/posix/internal.h"

namespace posix {

namespace {

constexpr std::size_t digest_chunk = std::size_t{1} << 16;

// Hashes the file's bytes from an offset up to another, or to its end;
// returns the offset reached.
Outcome<off_t> hash_range(int fd, SHA256_CTX& context, off_t at, off_t end, std::span<unsigned char> buffer,
                 bool count_progress) {
    while (at < end) {
        const auto wanted = static_cast<std::size_t>(std::min<off_t>(end - at, static_cast<off_t>(buffer.size())));
        const ssize_t got = ::pread(fd, buffer.data(), wanted, at);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            return call_error();
        }
        SHA256_Update(&context, buffer.data(), static_cast<std::size_t>(got));
        at += got;
        if (count_progress) bytes_done(static_cast<std::uint64_t>(got));
    }
    return at;
}

}  // namespace

Error digest_file(int fd, Hashed& hashed, bool count_progress) {
    SHA256_CTX context;
    SHA256_Init(&context);
    std::array<unsigned char, digest_chunk> buffer;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    const Outcome<off_t> reached =
        hash_range(fd, context, 0, std::numeric_limits<off_t>::max(), buffer, count_progress);
    if (reached.failed()) return Error{reached.error};
    SHA256_Final(hashed.digest.data(), &context);
    hashed.size = static_cast<std::uint64_t>(reached.value);
    return {};
}

// The follower's work: the bytes below `ready` are written, and it hashes
// them, waiting for more until told the size is final.
struct DigestFollower::Shared {
    int fd;
    std::mutex lock;
    std::condition_variable moved;
    off_t ready = 0;
    std::optional<off_t> final_size;
    bool abandoned = false;
    bool failed = false;
    Hashed hashed;
};

namespace {

void follow(DigestFollower::Shared& shared) {
    SHA256_CTX context;
    SHA256_Init(&context);
    std::vector<unsigned char> buffer(digest_chunk * 4);
    off_t hashed = 0;
    for (;;) {
        off_t until = 0;
        bool last = false;
        {
            std::unique_lock hold(shared.lock);
            shared.moved.wait(hold, [&] { return shared.abandoned || shared.final_size || shared.ready > hashed; });
            if (shared.abandoned) return;
            last = shared.final_size.has_value();
            until = last ? *shared.final_size : shared.ready;
        }
        const Outcome<off_t> reached = hash_range(shared.fd, context, hashed, until, buffer, false);
        if (reached.failed() || (reached.value < until && !last)) {
            const std::lock_guard hold(shared.lock);
            shared.failed = true;
            return;
        }
        hashed = reached.value;
        if (last) {
            const std::lock_guard hold(shared.lock);
            SHA256_Final(shared.hashed.digest.data(), &context);
            shared.hashed.size = static_cast<std::uint64_t>(hashed);
            shared.failed = hashed != until;
            return;
        }
    }
}

}  // namespace

DigestFollower::DigestFollower(int fd) : shared_(std::make_unique<Shared>()) {
    shared_->fd = fd;
    // Where no thread can be started, the copy is hashed once it is written.
    if (::pthread_create(&thread_, nullptr, [](void* shared) -> void* {
            follow(*static_cast<Shared*>(shared));
            return nullptr;
        }, shared_.get()) == 0) {
        running_ = true;
    }
}

DigestFollower::~DigestFollower() {
    abandon();
}

void DigestFollower::advance(off_t ready) {
    if (!running_) return;
    {
        const std::lock_guard hold(shared_->lock);
        shared_->ready = ready;
    }
    shared_->moved.notify_one();
}

void DigestFollower::abandon() {
    if (!running_) return;
    {
        const std::lock_guard hold(shared_->lock);
        shared_->abandoned = true;
    }
    shared_->moved.notify_one();
    ::pthread_join(thread_, nullptr);
    running_ = false;
}

bool DigestFollower::finish(off_t size, Hashed& hashed) {
    if (!running_) return false;
    {
        const std::lock_guard hold(shared_->lock);
        shared_->final_size = size;
    }
    shared_->moved.notify_one();
    ::pthread_join(thread_, nullptr);
    running_ = false;
    if (shared_->failed) return false;
    hashed = shared_->hashed;
    return true;
}

}  // namespace posix

namespace platform {

Outcome<FolderIdentities> folder_identities(const std::string& path) {
    using namespace posix;
    const Outcome<FolderStream> stream = open_stream(AT_FDCWD, path.c_str());
    if (stream.failed()) return Error{stream.error};
    struct stat status {};
    if (::fstat(::dirfd(stream.value.get()), &status) != 0) return call_error();
    FolderIdentities found{status.st_dev, {}, {}};
    for (;;) {
        const Outcome<const dirent*> next = next_entry(stream.value.get());
        if (next.failed()) return Error{next.error};
        const dirent* entry = next.value;
        if (entry == nullptr) break;
        const std::string_view name(entry->d_name);
        unsigned char type = entry->d_type;
        std::uint64_t inode = entry->d_ino;
        // Where the folder's listing tells no kind, the entry is looked at.
        if (type == DT_UNKNOWN) {
            struct stat looked {};
            if (::fstatat(::dirfd(stream.value.get()), entry->d_name, &looked, AT_SYMLINK_NOFOLLOW) != 0) {
                return call_error();
            }
            type = S_ISREG(looked.st_mode) ? DT_REG : DT_UNKNOWN;
            inode = looked.st_ino;
        }
        if (type == DT_REG) {
            found.regular_files.emplace_back(name, inode);
        } else {
            found.others.emplace_back(name);
        }
    }
    std::sort(found.regular_files.begin(), found.regular_files.end());
    std::sort(found.others.begin(), found.others.end());
    return found;
}

struct FoldersAhead::Shared {
    std::function<std::optional<std::string>()> next_folder;
    std::mutex lock;
    std::condition_variable moved;
    std::deque<std::pair<std::string, Outcome<FolderIdentities>>> ready;  // listed, not yet taken, in order
    std::size_t held = 0;  // entries in ready: the thread waits while there are too many
    bool done = false;     // every folder listed
    bool stop = false;
    bool running = false;
    pthread_t thread{};
};

namespace {

// How many entries may wait listed: a folder of more is listed all the same.
constexpr std::size_t most_held = std::size_t{1} << 16;

std::size_t entries_of(const Outcome<FolderIdentities>& listed) {
    return 1 + listed.value.regular_files.size() + listed.value.others.size();
}

void* list_ahead(void* argument) {
    auto& shared = *static_cast<FoldersAhead::Shared*>(argument);
    while (std::optional<std::string> folder = shared.next_folder()) {
        {
            std::unique_lock hold(shared.lock);
            shared.moved.wait(hold, [&] { return shared.stop || shared.held < most_held; });
            if (shared.stop) return nullptr;
        }
        Outcome<FolderIdentities> listed = folder_identities(*folder);
        {
            const std::lock_guard hold(shared.lock);
            shared.held += entries_of(listed);
            shared.ready.emplace_back(std::move(*folder), std::move(listed));
        }
        shared.moved.notify_all();
    }
    {
        const std::lock_guard hold(shared.lock);
        shared.done = true;
    }
    shared.moved.notify_all();
    return nullptr;
}

}  // namespace

// Where no thread can be started, each folder is listed when it is wanted.
FoldersAhead::FoldersAhead(std::function<std::optional<std::string>()> next_folder)
    : shared_(std::make_unique<Shared>()) {
    shared_->next_folder = std::move(next_folder);
    shared_->running = ::pthread_create(&shared_->thread, nullptr, list_ahead, shared_.get()) == 0;
}

FoldersAhead::~FoldersAhead() {
    if (!shared_->running) return;
    {
        const std::lock_guard hold(shared_->lock);
        shared_->stop = true;
    }
    shared_->moved.notify_all();
    ::pthread_join(shared_->thread, nullptr);
}

std::optional<Outcome<FolderIdentities>> FoldersAhead::take(std::string_view folder) {
    if (!shared_->running) return std::nullopt;
    std::unique_lock hold(shared_->lock);
    shared_->moved.wait(hold, [&] { return shared_->done || !shared_->ready.empty(); });
    if (shared_->ready.empty() || shared_->ready.front().first != folder) return std::nullopt;
    Outcome<FolderIdentities> listed = std::move(shared_->ready.front().second);
    shared_->ready.pop_front();
    shared_->held -= entries_of(listed);
    hold.unlock();
    shared_->moved.notify_all();
    return listed;
}

Outcome<CheckedFile> read_file_digest(const std::string& path) {
    using namespace posix;
    const FileDescriptor in(open_untouched(AT_FDCWD, path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!in.valid() || ::fstat(in.get(), &status) != 0) return call_error();
    if (!S_ISREG(status.st_mode)) return error_of(EINVAL);
    Hashed hashed;
    if (const Error failed = digest_file(in.get(), hashed, true)) return failed;
    entry_done();
    return CheckedFile{status.st_dev, status.st_ino, hashed.size, hashed.digest};
}

}  // namespace platform
