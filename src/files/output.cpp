// Output files that are never seen half-written.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

#include "files/files.h"

namespace zemb {

namespace {

// ---- The table of unfinished outputs ----
//
// A signal handler must find every temporary file to remove without taking a
// lock or allocating, whichever thread writes it: so each one is announced in
// a fixed table of slots before it is created and withdrawn once renamed.

// Outputs that may be written at once, on all threads together.
constexpr int unfinished_slots = 16;
// Tries at a fresh temporary name when a stale file holds one.
constexpr int name_attempts = 100;
// The temporary name's file part: the prefix, then "<process>-<count>".
constexpr char temporary_prefix[] = ".zemb-";

enum SlotState : int {
    slot_free,
    slot_filling,  // its name is being written: the handler skips it
    slot_opening,  // its file is being created by the thread `owner`
    slot_live,     // its name may exist on disk
};

struct Slot {
    std::atomic<int> state{slot_free};
    std::atomic<pid_t> owner{0};
    char path[PATH_MAX];
};

// How long a stop waits for another thread to finish creating a file, and
// how often it looks: an open() on a sound disk takes microseconds, and a
// stop must not hang on one that never returns.
constexpr int creation_wait_ms = 2000;
constexpr long creation_poll_ns = 1000000;

Slot slots[unfinished_slots];
std::atomic<unsigned> temporary_count{0};
// Set by remove_unfinished_outputs(): a file another thread creates after
// the handler's sweep would be left behind, so each creator looks here after
// its file exists and removes it itself.
std::atomic<bool> outputs_removed{false};

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the slots");
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler sets it");
static_assert(std::atomic<pid_t>::is_always_lock_free, "the signal handler reads the owners");

int claim_slot()
{
    for (;;) {
        for (int k = 0; k < unfinished_slots; ++k) {
            int expected = slot_free;
            if (slots[k].state.compare_exchange_strong(expected, slot_filling)) {
                slots[k].owner.store(gettid());
                return k;
            }
        }
        std::this_thread::yield();  // every slot busy: one frees as soon as its file is renamed
    }
}

// Writes "<folder of path>.zemb-<process>-<count>" into the slot; false when
// it does not fit a path (the final name then would not fit either).
bool compose_temporary(const char* path, char (&out)[PATH_MAX])
{
    const char* slash = std::strrchr(path, '/');
    const std::size_t folder = slash != nullptr ? std::size_t(slash - path) + 1 : 0;
    char tail[sizeof temporary_prefix + 2 * 12];
    const int written = std::snprintf(tail, sizeof tail, "%s%ld-%u", temporary_prefix,
                                      static_cast<long>(getpid()), temporary_count.fetch_add(1));
    const std::size_t tail_length = std::size_t(written);
    if (folder + tail_length + 1 > sizeof out)
        return false;
    std::memcpy(out, path, folder);
    std::memcpy(out + folder, tail, tail_length);
    out[folder + tail_length] = '\0';
    return true;
}

FileWrite failure(WriteFault fault, int error)
{
    FileWrite result;
    result.fault = fault;
    result.error = error != 0 ? error : EIO;
    return result;
}

// What stands under the final name and must not be replaced: a folder, or a
// file this process may not write (opening it for writing never could). A
// name the system refuses outright (too long, a missing folder on the way)
// is refused here too, before anything is written.
int refusal(const char* path)
{
    struct stat status;
    if (lstat(path, &status) != 0)
        return errno == ENOENT ? 0 : errno;
    if (S_ISDIR(status.st_mode))
        return EISDIR;
    if (S_ISREG(status.st_mode) && faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0)
        return errno;
    return 0;
}

}  // namespace

OutputFile::~OutputFile() { abandon(); }

FileWrite OutputFile::create(const char* path)
{
    abandon();
    if (*path == '\0')
        return failure(WriteFault::cannot_open, ENOENT);
    if (const int refused = refusal(path); refused != 0)
        return failure(WriteFault::cannot_open, refused);
    // A run being stopped starts no file: it could outlive the sweep.
    if (outputs_removed.load())
        return failure(WriteFault::cannot_open, ECANCELED);
    slot_ = claim_slot();
    Slot& slot = slots[slot_];
    int fd = -1;
    for (int attempt = 0; attempt < name_attempts && fd < 0; ++attempt) {
        slot.state.store(slot_filling);
        if (!compose_temporary(path, slot.path)) {
            errno = ENAMETOOLONG;
            break;
        }
        // Announced before it exists, so that no moment is left in which a
        // signal could leave it behind.
        slot.owner.store(gettid());
        slot.state.store(slot_opening);
        fd = ::open(slot.path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        // A name another file holds is not ours to remove.
        slot.state.store(fd >= 0 ? slot_live : slot_filling);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    // Either the sweep saw this slot live, after the file was made, or the
    // flag is seen here.
    if (fd >= 0 && outputs_removed.load()) {
        ::close(fd);
        unlink(slot.path);
        errno = ECANCELED;
        fd = -1;
    }
    if (fd < 0) {
        const int error = errno;
        slot.state.store(slot_free);
        slot_ = -1;
        return failure(WriteFault::cannot_open, error);
    }
    stream_ = fdopen(fd, "wb");
    if (stream_ == nullptr) {
        const int error = errno;
        ::close(fd);
        abandon();
        return failure(WriteFault::cannot_open, error);
    }
    path_ = path;
    return FileWrite{};
}

FileWrite OutputFile::commit()
{
    if (stream_ == nullptr)
        return failure(WriteFault::cannot_open, EBADF);  // nothing was created
    int error = 0;
    bool failed = std::ferror(stream_) != 0;
    if (failed)
        error = errno;
    if (std::fflush(stream_) != 0 && !failed) {
        failed = true;
        error = errno;
    }
    if (std::fclose(stream_) != 0 && !failed) {
        failed = true;
        error = errno;
    }
    stream_ = nullptr;
    if (failed) {
        abandon();
        return failure(WriteFault::failed, error);
    }
    if (std::rename(slots[slot_].path, path_) != 0) {
        error = errno;
        abandon();
        return failure(WriteFault::cannot_open, error);
    }
    slots[slot_].state.store(slot_free);
    slot_ = -1;
    return FileWrite{};
}

void OutputFile::abandon()
{
    if (stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
    if (slot_ >= 0) {
        unlink(slots[slot_].path);
        slots[slot_].state.store(slot_free);
        slot_ = -1;
    }
}

void remove_unfinished_outputs()
{
    outputs_removed.store(true);
    const pid_t self = gettid();
    for (Slot& slot : slots) {
        // Another thread's open() may create the file just after an unlink
        // here, and the process could end before that thread sees the flag:
        // so wait for it to return, also when it is still naming the file
        // (it may open it the moment the sweep has passed). The handler's own
        // thread never returns to its open(), so its file either exists now
        // or never will.
        auto creating = [&slot] {
            const int state = slot.state.load();
            return state == slot_filling || state == slot_opening;
        };
        if (creating() && slot.owner.load() != self) {
            const struct timespec poll = {0, creation_poll_ns};
            for (long waited = 0; creating() && waited < creation_wait_ms * 1000000L;
                 waited += creation_poll_ns)
                nanosleep(&poll, nullptr);
        }
        const int state = slot.state.load();
        if (state == slot_opening || state == slot_live)
            unlink(slot.path);
    }
}

}  // namespace zemb
