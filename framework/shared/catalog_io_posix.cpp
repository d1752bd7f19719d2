#include "shared/catalog_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "interfaces/exception_family.h"
#include "interfaces/unique_fd.h"
#include "shared/framework_constants.h"

namespace fs = std::filesystem;

namespace Vexa::Framework::CatalogIo {

namespace {

[[noreturn]] void ThrowIoError(const std::string& what, int error) {
    std::string message = what + ": " + std::strerror(error);
    if (error == EACCES || error == EPERM || error == EROFS)
        throw AccessDeniedException(message, kAccessDenied);
    throw FrameworkException(message, kFrameworkFailure);
}

// Reads to the end, but no further than the limit: one byte beyond it is enough to
// refuse the file.
std::string ReadAll(int fd, const fs::path& file, const Damaged& damaged) {
    std::string text;
    char buffer[8192];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            ThrowIoError("Cannot read " + file.string(), errno);
        }
        if (got == 0) return text;
        text.append(buffer, static_cast<size_t>(got));
        if (!FitsCatalogLimit(text.size())) damaged(file, TooLargeReason());
    }
}

void WriteAll(int fd, const std::string& text, const fs::path& file) {
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t done = ::write(fd, data, left);
        if (done < 0) {
            if (errno == EINTR) continue;
            ThrowIoError("Cannot write " + file.string(), errno);
        }
        data += done;
        left -= static_cast<size_t>(done);
    }
}

[[noreturn]] void ThrowNotRegular(const std::string& what) {
    throw FrameworkException(what + ": not a regular file", kFrameworkFailure);
}

// Gives the new catalog (fd, not yet renamed into place) the permission bits, owner
// and group of the one at file, or kNewCatalogMode when there is none yet; never what
// the writer's umask would make of it. Set on the temporary file, so that the rename
// shows readers the content and its access together. Only root may give a file away:
// another writer keeps the group if it belongs to it, and the new file is its own.
void TakeOverAccess(int fd, const fs::path& file, const fs::path& tempFile) {
    mode_t mode = static_cast<mode_t>(kNewCatalogMode);
    UniqueFd current(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (current) {
        struct stat status {};
        if (::fstat(current.get(), &status) != 0)
            ThrowIoError("Cannot examine " + file.string(), errno);
        mode = status.st_mode & 0777;
        if (::fchown(fd, status.st_uid, status.st_gid) != 0)
            (void)::fchown(fd, static_cast<uid_t>(-1), status.st_gid);
    } else if (errno != ENOENT) {
        ThrowIoError("Cannot examine " + file.string(), errno);
    }
    if (::fchmod(fd, mode) != 0) ThrowIoError("Cannot set the mode of " + tempFile.string(), errno);
}

void SyncDirectory(const fs::path& directory) {
    UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd || ::fsync(fd.get()) != 0)
        ThrowIoError("Cannot flush directory " + directory.string(), errno);
}

}  // namespace

std::optional<std::string> ReadWhole(const fs::path& file, const Damaged& damaged) {
    // Without O_NONBLOCK, opening a FIFO planted at the name would wait for a writer
    // for ever; with it the open returns and fstat refuses the FIFO.
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT) return std::nullopt;
        ThrowIoError("Cannot open " + file.string(), errno);
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0)
        ThrowIoError("Cannot examine " + file.string(), errno);
    if (!S_ISREG(status.st_mode)) damaged(file, "not a regular file");
    // A size beyond the limit is refused before anything is read; the read itself
    // stops at the limit for files whose size says nothing (those of /proc) or that
    // grow meanwhile.
    if (!FitsCatalogLimit(static_cast<std::uint64_t>(status.st_size))) damaged(file, TooLargeReason());
    return ReadAll(fd.get(), file, damaged);
}

struct WriterLock::Held {
    UniqueFd fd;
};

WriterLock::WriterLock(const fs::path& lockFile) : held(std::make_unique<Held>()) {
    // A link planted at the name would make the writer create or lock a file elsewhere;
    // a FIFO or device would make it wait or act on the device. flock takes the lock
    // through any descriptor, one opened for reading too, so a new file is its
    // owner's alone.
    const std::string what = "Cannot open lock file " + lockFile.string();
    held->fd = UniqueFd(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
    if (!held->fd) ThrowIoError(what, errno);
    struct stat status {};
    if (::fstat(held->fd.get(), &status) != 0) ThrowIoError(what, errno);
    if (!S_ISREG(status.st_mode)) ThrowNotRegular(what);
    // A lock file that an earlier version made readable by everyone is closed from now
    // on to those who may read it but not write it; a group of writers that someone
    // gave write access keeps it. Only the owner can change the mode; another writer
    // leaves it. Whoever opened the file before keeps the descriptor, which the
    // bounded wait below answers.
    mode_t readOnly = 0;
    if ((status.st_mode & S_IRGRP) != 0 && (status.st_mode & S_IWGRP) == 0) readOnly |= S_IRGRP;
    if ((status.st_mode & S_IROTH) != 0 && (status.st_mode & S_IWOTH) == 0) readOnly |= S_IROTH;
    if (readOnly != 0) (void)::fchmod(held->fd.get(), (status.st_mode & 07777) & ~readOnly);
    const bool locked = TakeWithinLockWait([&] {
        for (;;) {
            if (::flock(held->fd.get(), LOCK_EX | LOCK_NB) == 0) return true;
            if (errno == EWOULDBLOCK) return false;
            if (errno != EINTR) ThrowIoError("Cannot lock " + lockFile.string(), errno);
        }
    });
    if (!locked)
        throw TimeoutException("Cannot lock " + lockFile.string() + ": held by another process for longer than " +
                                   std::to_string(kLockWait.count()) + " s",
                               kTimeout);
}

// Closing the descriptor releases the lock.
WriterLock::~WriterLock() = default;

void ReplaceDurably(const fs::path& tempPrefix, const fs::path& file, const fs::path& directory,
                    const std::string& text) {
    // O_EXCL refuses any existing name, a link included, so only a file this call
    // creates is ever written. It starts as the writer's alone and gets the catalog's
    // access before anything is written into it.
    fs::path tempFile;
    UniqueFd fd;
    for (int attempt = 0; !fd; ++attempt) {
        tempFile = tempPrefix;
        tempFile += UnpredictableSuffix();
        fd = UniqueFd(::open(tempFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd && (errno != EEXIST || attempt + 1 == kTemporaryNameAttempts))
            ThrowIoError("Cannot create " + tempFile.string(), errno);
    }
    TakeOverAccess(fd.get(), file, tempFile);
    WriteAll(fd.get(), text, tempFile);
    if (::fsync(fd.get()) != 0) ThrowIoError("Cannot flush " + tempFile.string(), errno);
    // After writing, a failing close can be the first sign that the data did not reach
    // the file.
    if (::close(fd.release()) != 0) ThrowIoError("Cannot close " + tempFile.string(), errno);
    if (::rename(tempFile.c_str(), file.c_str()) != 0)
        ThrowIoError("Cannot replace " + file.string(), errno);
    SyncDirectory(directory);
}

}  // namespace Vexa::Framework::CatalogIo
