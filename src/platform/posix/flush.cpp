// Flushing many files at once: each flush waits for the disk, so several run
// side by side on a few threads, and their waits overlap. Where no thread can
// be started (too little memory, a limit on processes) the calling thread
// flushes them all, one after the other.
#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>

#include "platform/posix/internal.h"

namespace posix {

namespace {

struct FlushWork {
    std::span<const int> descriptors;
    std::atomic<std::size_t> next{0};
    std::atomic<int> error{0};
};

void* flush_some(void* argument) {
    auto& work = *static_cast<FlushWork*>(argument);
    for (std::size_t i; (i = work.next.fetch_add(1)) < work.descriptors.size();) {
        if (::fsync(work.descriptors[i]) != 0) {
            int none = 0;
            work.error.compare_exchange_strong(none, errno);
        }
    }
    return nullptr;
}

// A flush needs little stack; the threads' stacks then cost little memory.
constexpr std::size_t flush_stack_size = std::size_t{64} << 10;
// Measured: 16 flushing threads beat 8 on ext4 with a journal and on XFS,
// and io_uring, whose kernel workers are as many, did no better.
constexpr std::size_t most_flush_threads = 16;
// Fewer flushes than this are not worth a thread.
constexpr std::size_t flushes_per_thread = 4;

}  // namespace

Error flush_all(std::span<const int> descriptors) {
    FlushWork work;
    work.descriptors = descriptors;
    std::array<pthread_t, most_flush_threads> threads{};
    std::size_t started = 0;
    const std::size_t wanted = std::min(most_flush_threads, descriptors.size() / flushes_per_thread);
    pthread_attr_t attributes;
    if (wanted > 0 && ::pthread_attr_init(&attributes) == 0) {
        ::pthread_attr_setstacksize(&attributes, flush_stack_size);
        while (started < wanted && ::pthread_create(&threads[started], &attributes, flush_some, &work) == 0) {
            ++started;
        }
        ::pthread_attr_destroy(&attributes);
    }
    flush_some(&work);
    for (std::size_t i = 0; i < started; ++i) ::pthread_join(threads[i], nullptr);
    return error_of(work.error);
}

struct FlushingAlong::Shared {
    int fd = -1;
    std::atomic<std::uint64_t> copied{0};  // bytes since the last flush
    std::mutex lock;
    std::condition_variable stopped;
    bool stop = false;
};

namespace {

// How much copied data makes a flush, and how often the thread looks: a tree
// of links, or of few changes, is never flushed along.
constexpr std::uint64_t flush_along_bytes = std::uint64_t{4} << 20;
constexpr auto flush_along_pause = std::chrono::milliseconds(20);

void* flush_along(void* argument) {
    auto& shared = *static_cast<FlushingAlong::Shared*>(argument);
    std::unique_lock hold(shared.lock);
    do {
        if (shared.copied < flush_along_bytes) continue;
        shared.copied = 0;
        hold.unlock();
        // Nothing rests on this flush: the one at the end is checked.
        static_cast<void>(::syncfs(shared.fd));
        hold.lock();
    } while (!shared.stopped.wait_for(hold, flush_along_pause, [&] { return shared.stop; }));
    return nullptr;
}

}  // namespace

FlushingAlong::FlushingAlong(int fd) : shared_(std::make_unique<Shared>()) {
    shared_->fd = fd;
}

// The thread starts with the first flush: a small tree starts none. Where
// none can be started, the flush at the end writes all.
void FlushingAlong::copied(std::uint64_t bytes) {
    if ((shared_->copied += bytes) < flush_along_bytes || running_ || tried_) return;
    tried_ = true;
    pthread_attr_t attributes;
    if (::pthread_attr_init(&attributes) != 0) return;
    ::pthread_attr_setstacksize(&attributes, flush_stack_size);
    running_ = ::pthread_create(&thread_, &attributes, flush_along, shared_.get()) == 0;
    ::pthread_attr_destroy(&attributes);
}

FlushingAlong::~FlushingAlong() {
    if (!running_) return;
    {
        const std::lock_guard hold(shared_->lock);
        shared_->stop = true;
    }
    shared_->stopped.notify_one();
    ::pthread_join(thread_, nullptr);
}

}  // namespace posix
