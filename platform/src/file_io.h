// Whole-file reads and atomic replacement of files, over POSIX descriptors.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

#include "interfaces/unique_fd.h"

namespace VexaPlatform {

using Vexa::UniqueFd;

class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Opens `path` for reading only if it is a regular file (a symbolic link is
// followed). A FIFO, socket, device or directory is refused at once, never waited
// on: the open itself does not block, and the type is judged on the descriptor
// opened, not on an earlier look at the path, so swapping the file in between
// gains nothing. Reads on the descriptor returned block as usual. An empty
// UniqueFd when the file cannot be opened or is no regular file.
UniqueFd OpenRegularFileForReading(const std::filesystem::path& path);

// The whole content of a regular file; nullopt when it cannot be opened or read,
// or is no regular file (OpenRegularFileForReading).
std::optional<std::vector<unsigned char>> ReadFileBytes(const std::filesystem::path& path);

// Why a file that someone else may have placed was not read whole.
enum class ReadRefusal {
    Unreadable,  // it cannot be opened or read, or is no regular file
    TooLarge,    // it holds more than the reader's limit
    Changed,     // it did not end where its size said: it was written while being read,
                 // or, like the files of /proc, it has no size of its own
};

// The size of the regular file open on `file` when it holds at most `limit` bytes. Such
// a file is read as one that nobody writes meanwhile (as on Windows, where a file open
// for writing cannot be opened with share mode FILE_SHARE_READ): exactly that many
// bytes, after which EndsHere must hold. A file is therefore never read beyond its
// size, which its reader has accepted, nor its tail left out.
std::optional<std::size_t> SizeWithin(int file, std::size_t limit, ReadRefusal& refusal);

// Whether a read at the current offset of `file` finds its end. What it may read
// instead is discarded.
bool EndsHere(int file);

// The whole content of a regular file that someone else may have placed: at most
// `limit` bytes, and refused (never truncated) when it is larger or changes length
// while it is read (SizeWithin).
std::optional<std::vector<unsigned char>> ReadFileBytesWithin(const std::filesystem::path& path, std::size_t limit);

// Replaces `path` by a file holding `bytes` with the given mode: written to a
// temporary file in the same directory, flushed, then renamed over the target,
// so a reader sees either the old or the new content. Throws FileError.
void WriteFileAtomically(const std::filesystem::path& path, const void* bytes, std::size_t size, mode_t mode);

}  // namespace VexaPlatform
