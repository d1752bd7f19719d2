// The operating-system side of the provider catalog file: reading it whole, the
// writers' lock, and the durable replacement of the file. One implementation per
// platform (catalog_io_posix.cpp, catalog_io_windows.cpp); CMake picks one.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace Vexa::Framework::CatalogIo {

// The whole file; nullopt when it does not exist. Throws FrameworkException "... is
// damaged (not a regular file) ..." through notRegular for a directory or device, and
// an AccessDeniedException or FrameworkException for any other failure.
std::optional<std::string> ReadWhole(const std::filesystem::path& file, void (*notRegular)(const std::filesystem::path&));

// Holds the exclusive writers' lock of all processes on lockFile for as long as it lives.
class WriterLock {
public:
    explicit WriterLock(const std::filesystem::path& lockFile);
    ~WriterLock();
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;

private:
    struct Held;
    std::unique_ptr<Held> held;
};

// Writes text to tempFile, flushes it to the disk and renames it over file, so that a
// reader sees either the old or the new content and the new one survives a crash.
void ReplaceDurably(const std::filesystem::path& tempFile, const std::filesystem::path& file,
                    const std::filesystem::path& directory, const std::string& text);

}  // namespace Vexa::Framework::CatalogIo
