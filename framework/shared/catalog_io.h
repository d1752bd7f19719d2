// The operating-system side of the provider catalog file: reading it whole, the
// writers' lock, and the durable replacement of the file. One implementation per
// platform (catalog_io_posix.cpp, catalog_io_windows.cpp); CMake picks one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>

namespace Vexa::Framework::CatalogIo {

// The whole file; nullopt when it does not exist. Throws FrameworkException "... is
// damaged (not a regular file) ..." through notRegular for a directory, FIFO or device
// (never waiting on one), and an AccessDeniedException or FrameworkException for any
// other failure.
std::optional<std::string> ReadWhole(const std::filesystem::path& file, void (*notRegular)(const std::filesystem::path&));

// Holds the exclusive writers' lock of all processes on lockFile for as long as it lives.
// The lock file is opened without following a link and must be a regular file: anything
// else found at its name (a link, FIFO, socket, device or directory) is refused at once
// with FrameworkException "Cannot open catalog lock ...".
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

// Writes text to a new temporary file, flushes it to the disk and renames it over file,
// so that a reader sees either the old or the new content and the new one survives a
// crash. The temporary file is tempPrefix followed by an unpredictable suffix, created
// exclusively: whatever another user may have planted in the directory (a link to a
// file elsewhere above all) is never opened, followed or written.
void ReplaceDurably(const std::filesystem::path& tempPrefix, const std::filesystem::path& file,
                    const std::filesystem::path& directory, const std::string& text);

// Sixteen hexadecimal digits from the system's random source, for temporary names that
// nobody can guess ahead.
inline std::string UnpredictableSuffix() {
    std::random_device source;
    const std::uint64_t value = (std::uint64_t{source()} << 32) ^ source();
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string suffix(16, '0');
    for (int i = 0; i < 16; ++i) suffix[static_cast<std::size_t>(i)] = kDigits[(value >> (4 * i)) & 0xf];
    return suffix;
}

// How often a writer tries another name when the one it drew exists already.
constexpr int kTemporaryNameAttempts = 16;

}  // namespace Vexa::Framework::CatalogIo
