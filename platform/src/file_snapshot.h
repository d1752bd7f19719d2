// Private, sealed snapshots of files. Windows keeps a file as it is while a handle
// opened with share mode FILE_SHARE_READ is open: nobody can write it, rename over it
// or delete it. Linux has no share modes, so the stand-in gives the same guarantee to
// this process another way: the read handle takes a copy of the file's bytes into an
// anonymous memory file, sealed so that no process can change it, and everything the
// process does through the handle or with that path while the handle is open (verify
// the signature, load the library) uses that copy. The last snapshot taken is kept
// once its handles are closed, and taken again for a file that still holds exactly its
// bytes (Snapshot::Take).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include <vexa_platform/windows.h>

#include "file_io.h"

namespace VexaPlatform {

class Snapshot {
public:
    // The bytes of the regular file at `fullPath`, copied and sealed, or the kept
    // snapshot of that path when the file, read to its end, equals it byte for byte
    // (comparing costs about a third of copying into new memory). Nothing, with
    // `error` set to the Windows error, when the file is missing, is no regular file
    // (never waited on: FIFOs, sockets, devices and directories are refused at once),
    // cannot be read, is larger than the trust check examines (ERROR_FILE_TOO_LARGE,
    // refused unread) or does not end at its size (ERROR_SHARING_VIOLATION).
    static std::shared_ptr<const Snapshot> Take(const std::string& fullPath, DWORD& error);

    int Descriptor() const { return memory.get(); }
    std::size_t Size() const { return size; }
    const std::string& Path() const { return path; }

private:
    Snapshot(UniqueFd memory, std::size_t size, std::string path)
        : memory(std::move(memory)), size(size), path(std::move(path)) {}

    UniqueFd memory;
    std::size_t size;
    std::string path;
};

// A read-only mapping of a snapshot's bytes.
class SnapshotView {
public:
    explicit SnapshotView(const Snapshot& snapshot);
    ~SnapshotView();
    SnapshotView(const SnapshotView&) = delete;
    SnapshotView& operator=(const SnapshotView&) = delete;

    // False when the mapping failed.
    explicit operator bool() const { return size == 0 || bytes != nullptr; }
    const unsigned char* Bytes() const { return bytes; }
    std::size_t Size() const { return size; }

private:
    const unsigned char* bytes = nullptr;
    std::size_t size = 0;
};

// The absolute, lexically normal form of a path, as GetFullPathNameA gives it.
std::optional<std::string> FullPath(const char* path);

// The snapshot that an open handle of this process holds for `fullPath`, if any.
std::shared_ptr<const Snapshot> HeldSnapshot(const std::string& fullPath);

// The snapshot behind a handle that CreateFileW returned and that is still open;
// nullptr for anything else.
std::shared_ptr<const Snapshot> SnapshotOfHandle(HANDLE handle);

}  // namespace VexaPlatform
