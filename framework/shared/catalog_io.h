// The operating-system side of the provider catalog file: reading it whole, the
// writers' lock, and the durable replacement of the file. One implementation per
// platform (catalog_io_posix.cpp, catalog_io_windows.cpp); CMake picks one.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>

namespace Vexa::Framework::CatalogIo {

// The catalog is refused beyond this size: whoever can place a file at its name (an
// endless one such as /proc/self/pagemap, or a sparse file of many gigabytes that
// takes no disk) must not make a reader copy it whole. Ten thousand providers take
// about one megabyte.
constexpr std::uint64_t kMaxCatalogBytes = 16u << 20;

// Whether a catalog of this many bytes is one that every reader accepts. The readers
// refuse what fails it, and the writer refuses to write it: a catalog written beyond
// the readers' limit could be neither listed nor changed again.
constexpr bool FitsCatalogLimit(std::uint64_t bytes) { return bytes <= kMaxCatalogBytes; }

// The whole file, at most kMaxCatalogBytes; nullopt when it does not exist. Calls
// damaged(file, why), which throws, for a directory, FIFO or device (never waiting on
// one) and for a file larger than the limit, whether its size says so or it grows past
// the limit while being read (it is refused, never cut short). Throws an
// AccessDeniedException or FrameworkException for any other failure.
using Damaged = std::function<void(const std::filesystem::path& file, const std::string& why)>;
std::optional<std::string> ReadWhole(const std::filesystem::path& file, const Damaged& damaged);

// The reason damaged() is given for a file beyond the limit.
inline std::string TooLargeReason() { return "larger than " + std::to_string(kMaxCatalogBytes) + " bytes"; }

// How long a writer waits for the writers' lock before it gives up with
// TimeoutException "Cannot lock ...: held by another process for longer than ...".
constexpr std::chrono::seconds kLockWait{20};

// Tries tryOnce until it succeeds or kLockWait has passed; whether it succeeded. The
// platforms' locks can be tried without waiting but not waited on for a bounded time,
// so this polls, often enough that a writer finds the lock free between two updates of
// another one.
inline bool TakeWithinLockWait(const std::function<bool()>& tryOnce) {
    const auto deadline = std::chrono::steady_clock::now() + kLockWait;
    for (;;) {
        if (tryOnce()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Holds the exclusive writers' lock of all processes on lockFile for as long as it lives,
// or throws after waiting kLockWait for it. The lock file is opened without following a
// link and must be a regular file: anything else found at its name (a link, FIFO,
// socket, device or directory) is refused at once with FrameworkException "Cannot open
// lock file ...". Only the catalog's writers may open the lock file at all: anyone
// who could open it, even only for reading, could take the lock and keep it. It is
// created so, and one found open to others (made by an earlier version) is closed to
// them.
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
//
// Who may read the catalog is the administrator's choice, not the writer's: the new
// file takes over the permission bits, owner and group of the catalog it replaces (on
// Windows its DACL), and a first catalog gets kNewCatalogMode on POSIX (on Windows the
// install directory's inherited access), whatever the writer's umask.
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

// The mode of a first catalog on POSIX: every user who runs a client reads the
// catalog, and only its writers (who own it) change it.
constexpr unsigned kNewCatalogMode = 0644;

// How often a writer tries another name when the one it drew exists already.
constexpr int kTemporaryNameAttempts = 16;

}  // namespace Vexa::Framework::CatalogIo
