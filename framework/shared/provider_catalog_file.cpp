#include "shared/provider_catalog_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/exceptions.h"
#include "shared/framework_constants.h"
#include "shared/unique_fd.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace Vexa::Framework {

namespace {

constexpr int kFormat = 1;

[[noreturn]] void ThrowIoError(const std::string& what, int error) {
    std::string message = what + ": " + std::strerror(error);
    if (error == EACCES || error == EPERM || error == EROFS)
        throw AccessDeniedException(message, kAccessDenied);
    throw FrameworkException(message, kFrameworkFailure);
}

[[noreturn]] void ThrowCorrupt(const fs::path& file, const std::string& why) {
    throw FrameworkException("Provider catalog " + file.string() + " is damaged (" + why +
                                 "); it is left as it is until repaired or removed",
                             kFrameworkFailure);
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

// Holds the exclusive writers' lock for as long as it lives.
class WriterLock {
public:
    explicit WriterLock(const fs::path& lockFile)
        : fd(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (!fd) ThrowIoError("Cannot open catalog lock " + lockFile.string(), errno);
        while (::flock(fd.Get(), LOCK_EX) != 0) {
            if (errno != EINTR) ThrowIoError("Cannot lock " + lockFile.string(), errno);
        }
    }
    // Closing the descriptor releases the lock.

private:
    UniqueFd fd;
};

}  // namespace

ProviderCatalogFile::ProviderCatalogFile(const fs::path& directory)
    : directory(directory),
      file(directory / kFileName),
      lockFile(directory / kLockFileName),
      tempFile(directory / (std::string(kFileName) + ".tmp")) {}

std::vector<json> ProviderCatalogFile::Read() const {
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return {};
        ThrowIoError("Cannot open provider catalog " + file.string(), errno);
    }
    struct stat status {};
    if (::fstat(fd.Get(), &status) != 0)
        ThrowIoError("Cannot examine provider catalog " + file.string(), errno);
    if (!S_ISREG(status.st_mode)) ThrowCorrupt(file, "not a regular file");

    json document;
    try {
        document = json::parse(ReadAll(fd.Get(), file));
    } catch (const json::parse_error& error) {
        ThrowCorrupt(file, std::string("not valid JSON: ") + error.what());
    }
    if (!document.is_object() || document.value("format", json()) != kFormat)
        ThrowCorrupt(file, "not a format " + std::to_string(kFormat) + " catalog");
    auto providers = document.find("providers");
    if (providers == document.end() || !providers->is_array())
        ThrowCorrupt(file, "no providers list");

    std::vector<json> entries;
    for (json& entry : *providers) {
        auto path = entry.find("path");
        auto name = entry.find("name");
        if (!entry.is_object() || path == entry.end() || !path->is_string() ||
            name == entry.end() || !name->is_string())
            ThrowCorrupt(file, "entry " + std::to_string(entries.size()) +
                                   " lacks a path or a name");
        entries.push_back(std::move(entry));
    }
    return entries;
}

void ProviderCatalogFile::Update(const std::function<bool(std::vector<json>&)>& change) {
    WriterLock lock(lockFile);
    std::vector<json> entries = Read();
    if (change(entries)) Write(entries);
}

void ProviderCatalogFile::Write(const std::vector<json>& entries) const {
    std::string text = json{{"format", kFormat}, {"providers", entries}}.dump(2) + "\n";

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

json MakeProviderEntry(const fs::path& provider) {
    return json{{"path", provider.string()}, {"name", provider.stem().string()}};
}

fs::path ProviderEntryPath(const json& entry) { return entry.at("path").get<std::string>(); }

}  // namespace Vexa::Framework
