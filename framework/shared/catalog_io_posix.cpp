#include "shared/catalog_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "interfaces/exception_family.h"
#include "interfaces/unique_resource.h"
#include "shared/framework_constants.h"

namespace fs = std::filesystem;

namespace Vexa::Framework::CatalogIo {

namespace {

using UniqueFd = UniqueResource<int, ::close, NegativeIsEmpty>;

[[noreturn]] void ThrowIoError(const std::string& what, int error) {
    std::string message = what + ": " + std::strerror(error);
    if (error == EACCES || error == EPERM || error == EROFS)
        throw AccessDeniedException(message, kAccessDenied);
    throw FrameworkException(message, kFrameworkFailure);
}

std::string ReadAll(int fd, const fs::path& file) {
    std::string text;
    char buffer[8192];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            ThrowIoError("Cannot read provider catalog " + file.string(), errno);
        }
        if (got == 0) return text;
        text.append(buffer, static_cast<size_t>(got));
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

void SyncDirectory(const fs::path& directory) {
    UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd || ::fsync(fd.get()) != 0)
        ThrowIoError("Cannot flush directory " + directory.string(), errno);
}

}  // namespace

std::optional<std::string> ReadWhole(const fs::path& file, void (*notRegular)(const fs::path&)) {
    // Without O_NONBLOCK, opening a FIFO planted at the name would wait for a writer
    // for ever; with it the open returns and fstat refuses the FIFO.
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT) return std::nullopt;
        ThrowIoError("Cannot open provider catalog " + file.string(), errno);
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0)
        ThrowIoError("Cannot examine provider catalog " + file.string(), errno);
    if (!S_ISREG(status.st_mode)) notRegular(file);
    return ReadAll(fd.get(), file);
}

struct WriterLock::Held {
    UniqueFd fd;
};

WriterLock::WriterLock(const fs::path& lockFile) : held(std::make_unique<Held>()) {
    // A link planted at the name would make the writer create or lock a file elsewhere;
    // a FIFO or device would make it wait or act on the device.
    const std::string what = "Cannot open catalog lock " + lockFile.string();
    held->fd = UniqueFd(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644));
    if (!held->fd) ThrowIoError(what, errno);
    struct stat status {};
    if (::fstat(held->fd.get(), &status) != 0) ThrowIoError(what, errno);
    if (!S_ISREG(status.st_mode)) ThrowNotRegular(what);
    while (::flock(held->fd.get(), LOCK_EX) != 0) {
        if (errno != EINTR) ThrowIoError("Cannot lock " + lockFile.string(), errno);
    }
}

// Closing the descriptor releases the lock.
WriterLock::~WriterLock() = default;

void ReplaceDurably(const fs::path& tempPrefix, const fs::path& file, const fs::path& directory,
                    const std::string& text) {
    // O_EXCL refuses any existing name, a link included, so only a file this call
    // creates is ever written.
    fs::path tempFile;
    UniqueFd fd;
    for (int attempt = 0; !fd; ++attempt) {
        tempFile = tempPrefix;
        tempFile += UnpredictableSuffix();
        fd = UniqueFd(::open(tempFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!fd && (errno != EEXIST || attempt + 1 == kTemporaryNameAttempts))
            ThrowIoError("Cannot create " + tempFile.string(), errno);
    }
    WriteAll(fd.get(), text, tempFile);
    if (::fsync(fd.get()) != 0) ThrowIoError("Cannot flush " + tempFile.string(), errno);
    // After writing, a failing close can be the first sign that the data did not reach
    // the file.
    if (::close(fd.release()) != 0) ThrowIoError("Cannot close " + tempFile.string(), errno);
    if (::rename(tempFile.c_str(), file.c_str()) != 0)
        ThrowIoError("Cannot replace provider catalog " + file.string(), errno);
    SyncDirectory(directory);
}

}  // namespace Vexa::Framework::CatalogIo
