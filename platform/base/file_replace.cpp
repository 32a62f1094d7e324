#include "platform/base/file_replace.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

// Whether path still names the file open as fd: a writer that took it over
// may have put its own in the file's place meanwhile.
bool still_named(int fd, const char* path) {
    struct stat open_file {}, named {};
    return fstat(fd, &open_file) == 0 && stat(path, &named) == 0 && open_file.st_dev == named.st_dev &&
           open_file.st_ino == named.st_ino;
}

int fail(int fd, int error) {
    if (fd >= 0) close(fd);
    errno = error;
    return -1;
}

constexpr int kChanged = -2;  // the file changed under us: try again

// The existing file at target, locked: a new file takes its name, or it is
// truncated where no new file can be made. -1 with errno set, or kChanged.
int replace_existing(const char* target, int lock) {
    // Write access to the old file, as truncating it needed: a read-only
    // output stays refused.
    const int old = open(target, O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (old < 0) return -1;
    struct stat st {};
    if (fstat(old, &st) != 0) return fail(old, errno);
    if (!S_ISREG(st.st_mode)) return old;
    if (flock(old, lock) != 0) return fail(old, errno == EINTR ? EWOULDBLOCK : errno);
    if (!still_named(old, target)) {
        close(old);
        return kChanged;
    }

    std::string fresh_name = std::string(target) + ".XXXXXX";
    const int fresh = mkostemp(fresh_name.data(), O_CLOEXEC);
    if (fresh >= 0) {
        // Locked before it has the name, so that no writer finds it unlocked.
        if (fchmod(fresh, st.st_mode & 07777) == 0 && flock(fresh, lock) == 0 &&
            rename(fresh_name.c_str(), target) == 0) {
            close(old);
            return fresh;
        }
        unlink(fresh_name.c_str());
        close(fresh);
    }
    if (ftruncate(old, 0) != 0) return fail(old, errno);
    return old;
}

}  // namespace

int file_replace_open(const char* path, bool exclusive) {
    const int lock = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    // A few rounds: each is lost only to another writer that took the name
    // in the moment between two of our steps.
    for (int round = 0; round < 8; ++round) {
        const int created = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (created >= 0) {
            if (flock(created, lock) != 0) return fail(created, EWOULDBLOCK);
            if (still_named(created, path)) return created;
            close(created);
            continue;
        }
        if (errno != EEXIST) return -1;
        // Through symbolic links, as writing into the file would go.
        char* target = realpath(path, nullptr);
        if (!target) {
            // A link that leads nowhere: the file it names is created.
            const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
            if (fd >= 0 && flock(fd, lock) != 0) return fail(fd, EWOULDBLOCK);
            return fd;
        }
        const int fd = replace_existing(target, lock);
        const int error = errno;
        std::free(target);
        if (fd == kChanged) continue;
        errno = error;
        return fd;
    }
    return fail(-1, EWOULDBLOCK);
}
