#include "file_io.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace VexaPlatform {

UniqueFd OpenRegularFileForReading(const std::filesystem::path& path) {
    // Without O_NONBLOCK, opening a FIFO for reading waits for a writer, forever
    // if none comes; O_NOCTTY keeps a terminal from becoming ours.
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file) return {};
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) return {};
    if (!S_ISREG(info.st_mode)) {
        errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        return {};
    }
    // A regular file never blocks anyway; readers get the ordinary flags back.
    int flags = ::fcntl(file.get(), F_GETFL);
    if (flags == -1 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) == -1) return {};
    return file;
}

std::optional<std::vector<unsigned char>> ReadFileBytes(const std::filesystem::path& path) {
    UniqueFd file = OpenRegularFileForReading(path);
    if (!file) return std::nullopt;
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) return std::nullopt;
    // Read straight into the result, sized as the file was when opened; the file may
    // still grow or shrink meanwhile, so the end is where read() says it is. One more
    // byte of room tells a file that grew from one that did not.
    std::vector<unsigned char> bytes(static_cast<std::size_t>(info.st_size) + 1);
    std::size_t filled = 0;
    for (;;) {
        if (filled == bytes.size()) bytes.resize(bytes.size() * 2);
        const ssize_t got = ::read(file.get(), bytes.data() + filled, bytes.size() - filled);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    bytes.resize(filled);
    return bytes;
}

std::optional<std::size_t> SizeWithin(int file, std::size_t limit, ReadRefusal& refusal) {
    struct stat info {};
    if (::fstat(file, &info) != 0 || info.st_size < 0) {
        refusal = ReadRefusal::Unreadable;
        return std::nullopt;
    }
    if (static_cast<std::uintmax_t>(info.st_size) > limit) {
        refusal = ReadRefusal::TooLarge;
        return std::nullopt;
    }
    return static_cast<std::size_t>(info.st_size);
}

bool EndsHere(int file) {
    unsigned char probe = 0;
    for (;;) {
        const ssize_t got = ::read(file, &probe, 1);
        if (got < 0 && errno == EINTR) continue;
        return got == 0;
    }
}

std::optional<std::vector<unsigned char>> ReadFileBytesWithin(const std::filesystem::path& path, std::size_t limit) {
    UniqueFd file = OpenRegularFileForReading(path);
    if (!file) return std::nullopt;
    ReadRefusal refusal{};
    const std::optional<std::size_t> size = SizeWithin(file.get(), limit, refusal);
    if (!size) return std::nullopt;
    std::vector<unsigned char> bytes(*size);
    for (std::size_t filled = 0; filled < bytes.size();) {
        const ssize_t got = ::read(file.get(), bytes.data() + filled, bytes.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return std::nullopt;  // shorter than its size: being written
        filled += static_cast<std::size_t>(got);
    }
    if (!EndsHere(file.get())) return std::nullopt;
    return bytes;
}

namespace {

[[noreturn]] void Fail(const std::string& what, const std::filesystem::path& path) {
    throw FileError(what + " " + path.string() + ": " + std::strerror(errno));
}

// Removes the temporary file unless the rename made it the target.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string name) : name(std::move(name)) {}
    ~TemporaryFile() {
        if (!committed) ::unlink(name.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    void Commit() { committed = true; }

private:
    std::string name;
    bool committed = false;
};

}  // namespace

void WriteFileAtomically(const std::filesystem::path& path, const void* bytes, std::size_t size, mode_t mode) {
    std::string pattern = path.string() + ".XXXXXX";
    UniqueFd out(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!out) Fail("cannot create a temporary file next to", path);
    TemporaryFile temporary(pattern);
    if (::fchmod(out.get(), mode) != 0) Fail("cannot set the mode of a temporary file for", path);
    const auto* next = static_cast<const unsigned char*>(bytes);
    std::size_t left = size;
    while (left > 0) {
        ssize_t written = ::write(out.get(), next, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            Fail("cannot write", path);
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    if (::fsync(out.get()) != 0) Fail("cannot flush", path);
    if (::close(out.release()) != 0) Fail("cannot close", path);
    if (::rename(pattern.c_str(), path.c_str()) != 0) Fail("cannot replace", path);
    temporary.Commit();
}

}  // namespace VexaPlatform
