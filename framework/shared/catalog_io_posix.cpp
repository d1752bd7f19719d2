#include "shared/catalog_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/exceptions.h"
#include "shared/framework_constants.h"
#include "shared/unique_fd.h"

namespace fs = std::filesystem;

namespace Vexa::Framework::CatalogIo {

namespace {

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

void SyncDirectory(const fs::path& directory) {
    UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd || ::fsync(fd.Get()) != 0)
        ThrowIoError("Cannot flush directory " + directory.string(), errno);
}

}  // namespace

std::optional<std::string> ReadWhole(const fs::path& file, void (*notRegular)(const fs::path&)) {
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return std::nullopt;
        ThrowIoError("Cannot open provider catalog " + file.string(), errno);
    }
    struct stat status {};
    if (::fstat(fd.Get(), &status) != 0)
        ThrowIoError("Cannot examine provider catalog " + file.string(), errno);
    if (!S_ISREG(status.st_mode)) notRegular(file);
    return ReadAll(fd.Get(), file);
}

struct WriterLock::Held {
    UniqueFd fd;
};

WriterLock::WriterLock(const fs::path& lockFile) : held(std::make_unique<Held>()) {
    held->fd = UniqueFd(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!held->fd) ThrowIoError("Cannot open catalog lock " + lockFile.string(), errno);
    while (::flock(held->fd.Get(), LOCK_EX) != 0) {
        if (errno != EINTR) ThrowIoError("Cannot lock " + lockFile.string(), errno);
    }
}

// Closing the descriptor releases the lock.
WriterLock::~WriterLock() = default;

void ReplaceDurably(const fs::path& tempFile, const fs::path& file, const fs::path& directory,
                    const std::string& text) {
    // Only the holder of the writers' lock writes the temporary file, so one fixed name
    // suffices; a leftover of a writer that was killed is simply truncated.
    UniqueFd fd(::open(tempFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) ThrowIoError("Cannot create " + tempFile.string(), errno);
    WriteAll(fd.Get(), text, tempFile);
    if (::fsync(fd.Get()) != 0) ThrowIoError("Cannot flush " + tempFile.string(), errno);
    if (!fd.Close()) ThrowIoError("Cannot close " + tempFile.string(), errno);
    if (::rename(tempFile.c_str(), file.c_str()) != 0)
        ThrowIoError("Cannot replace provider catalog " + file.string(), errno);
    SyncDirectory(directory);
}

}  // namespace Vexa::Framework::CatalogIo
