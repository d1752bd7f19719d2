// Snapshots, the read handles that hold them (CreateFileW, CloseHandle, GetFileType)
// and GetFullPathNameA.
#include "file_snapshot.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include "last_error.h"
#include "signature_format.h"
#include "text.h"

namespace fs = std::filesystem;

namespace VexaPlatform {

namespace {

// Copies `size` bytes of `from`, from its current offset, into `to`; false, with the
// reason, when a read or write fails or `from` ends sooner. The kernel copies; a plain
// read/write loop serves where it cannot.
bool CopyExactly(int from, int to, std::size_t size, ReadRefusal& refusal) {
    refusal = ReadRefusal::Unreadable;
    std::size_t copied = 0;
    while (copied < size) {
        const ssize_t sent = ::sendfile(to, from, nullptr, std::min<std::size_t>(size - copied, 1 << 30));
        if (sent > 0) {
            copied += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent == 0) {
            refusal = ReadRefusal::Changed;
            return false;
        }
        if (errno == EINTR) continue;
        if (errno != EINVAL && errno != ENOSYS) return false;
        break;
    }
    char buffer[65536];
    while (copied < size) {
        const ssize_t got = ::read(from, buffer, std::min(sizeof buffer, size - copied));
        if (got < 0 && errno == EINTR) continue;
        if (got == 0) refusal = ReadRefusal::Changed;
        if (got <= 0) return false;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(to, buffer + done, static_cast<std::size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return false;
            done += put;
        }
        copied += static_cast<std::size_t>(got);
    }
    return true;
}

// The Windows error for a file that is not read: one too large for the trust check
// to examine, or one whose length changes while it is read, which on Windows could
// not be opened at all while another handle writes it.
DWORD RefusalError(ReadRefusal refusal) {
    switch (refusal) {
        case ReadRefusal::TooLarge:
            return ERROR_FILE_TOO_LARGE;
        case ReadRefusal::Changed:
            return ERROR_SHARING_VIOLATION;
        default:
            return ERROR_ACCESS_DENIED;
    }
}

// Reads `from` to its end and compares it with the snapshot's bytes; true only when
// the two are the same length and equal byte for byte.
bool HoldsSameBytes(int from, const Snapshot& snapshot) {
    constexpr std::size_t kChunk = 1 << 16;
    std::unique_ptr<unsigned char[]> read(new unsigned char[2 * kChunk]);
    unsigned char* const kept = read.get() + kChunk;
    std::size_t offset = 0;
    for (;;) {
        const ssize_t got = ::read(from, read.get(), kChunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return offset == snapshot.Size();
        const std::size_t length = static_cast<std::size_t>(got);
        if (length > snapshot.Size() - offset) return false;
        for (std::size_t done = 0; done < length;) {
            const ssize_t put = ::pread(snapshot.Descriptor(), kept + done, length - done,
                                        static_cast<off_t>(offset + done));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return false;
            done += static_cast<std::size_t>(put);
        }
        if (std::memcmp(read.get(), kept, length) != 0) return false;
        offset += length;
    }
}

// The last snapshot taken, kept after every handle and module that held it is gone.
// Binding a library again and again (a client created and destroyed in a loop) then
// reads and compares the file instead of copying it into newly allocated memory each
// time, which costs the stand-in about as much as hashing it; what is kept is one
// file's bytes, sealed, and it is reused only for a file that still holds exactly them.
class KeptSnapshot {
public:
    static KeptSnapshot& Instance() {
        static KeptSnapshot* kept = new KeptSnapshot;  // outlives every static destructor
        return *kept;
    }
    std::shared_ptr<const Snapshot> Get(const std::string& fullPath) {
        std::lock_guard<std::mutex> lock(mutex);
        return snapshot && snapshot->Path() == fullPath ? snapshot : nullptr;
    }
    void Set(std::shared_ptr<const Snapshot> taken) {
        std::lock_guard<std::mutex> lock(mutex);
        snapshot = std::move(taken);
    }

private:
    std::mutex mutex;
    std::shared_ptr<const Snapshot> snapshot;
};

// The process's open read handles, and for each path held by at least one of them
// the snapshot they share.
class HandleTable {
public:
    static HandleTable& Instance() {
        static HandleTable* table = new HandleTable;  // outlives every static destructor
        return *table;
    }

    HANDLE Open(const std::string& fullPath, DWORD& error) {
        // A new snapshot is taken without the lock, as copying a file takes as long as
        // the file is large: the other handles of the process stay usable meanwhile.
        // When another thread took one for the same path first, its snapshot is shared
        // and this one dropped, so that every handle of a path sees the same bytes.
        std::shared_ptr<const Snapshot> taken = OfPath(fullPath);
        if (!taken) taken = Snapshot::Take(fullPath, error);
        if (!taken) return INVALID_HANDLE_VALUE;
        std::lock_guard<std::mutex> lock(mutex);
        Held& held = paths[fullPath];
        if (!held.snapshot) held.snapshot = std::move(taken);
        ++held.handles;
        auto handle = std::make_unique<Handle>(Handle{fullPath, held.snapshot});
        HANDLE value = handle.get();
        handles.emplace(value, std::move(handle));
        return value;
    }

    bool Close(HANDLE value) {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = handles.find(value);
        if (found == handles.end()) return false;
        auto held = paths.find(found->second->path);
        if (held != paths.end() && --held->second.handles == 0) paths.erase(held);
        handles.erase(found);
        return true;
    }

    std::shared_ptr<const Snapshot> OfHandle(HANDLE value) {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = handles.find(value);
        return found != handles.end() ? found->second->snapshot : nullptr;
    }

    std::shared_ptr<const Snapshot> OfPath(const std::string& fullPath) {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = paths.find(fullPath);
        return found != paths.end() ? found->second.snapshot : nullptr;
    }

private:
    struct Handle {
        std::string path;
        std::shared_ptr<const Snapshot> snapshot;
    };
    struct Held {
        std::shared_ptr<const Snapshot> snapshot;
        std::size_t handles = 0;
    };

    std::mutex mutex;
    std::map<std::string, Held> paths;
    // Handles are looked up before use, so a stale or foreign value is refused instead
    // of being followed.
    std::map<HANDLE, std::unique_ptr<Handle>> handles;
};

}  // namespace

std::shared_ptr<const Snapshot> Snapshot::Take(const std::string& fullPath, DWORD& error) {
    UniqueFd file = OpenRegularFileForReading(fullPath);
    if (!file) {
        error = OpenError(errno);
        return nullptr;
    }
    // A file larger than the trust check examines is refused unread, and one that does
    // not end at its size is refused, not truncated: neither is copied beyond that size.
    ReadRefusal refusal{};
    const std::optional<std::size_t> size = SizeWithin(file.get(), kLargestSignedFile, refusal);
    if (!size) {
        error = RefusalError(refusal);
        return nullptr;
    }
    if (std::shared_ptr<const Snapshot> kept = KeptSnapshot::Instance().Get(fullPath)) {
        if (*size == kept->Size() && HoldsSameBytes(file.get(), *kept)) return kept;
        if (::lseek(file.get(), 0, SEEK_SET) != 0) {
            error = ERROR_ACCESS_DENIED;
            return nullptr;
        }
    }
    // Named after the file, which is how /proc/self/maps shows a library loaded from it.
    constexpr std::size_t kLongestName = 249;
    const std::string name = fullPath.size() > kLongestName ? fullPath.substr(fullPath.size() - kLongestName) : fullPath;
    UniqueFd memory(::memfd_create(name.c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!memory) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    if (!CopyExactly(file.get(), memory.get(), *size, refusal)) {
        error = RefusalError(refusal);
        return nullptr;
    }
    if (!EndsHere(file.get())) {
        error = RefusalError(ReadRefusal::Changed);
        return nullptr;
    }
    if (::fcntl(memory.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    std::shared_ptr<const Snapshot> taken(new Snapshot(std::move(memory), *size, fullPath));
    KeptSnapshot::Instance().Set(taken);
    return taken;
}

SnapshotView::SnapshotView(const Snapshot& snapshot) : size(snapshot.Size()) {
    if (size == 0) return;
    void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, snapshot.Descriptor(), 0);
    if (mapped != MAP_FAILED) bytes = static_cast<const unsigned char*>(mapped);
}

SnapshotView::~SnapshotView() {
    if (bytes != nullptr) ::munmap(const_cast<unsigned char*>(bytes), size);
}

std::optional<std::string> FullPath(const char* path) {
    if (path == nullptr || *path == '\0') return std::nullopt;
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    if (error) return std::nullopt;
    return absolute.lexically_normal().string();
}

std::shared_ptr<const Snapshot> HeldSnapshot(const std::string& fullPath) {
    return HandleTable::Instance().OfPath(fullPath);
}

std::shared_ptr<const Snapshot> SnapshotOfHandle(HANDLE handle) { return HandleTable::Instance().OfHandle(handle); }

}  // namespace VexaPlatform

using namespace VexaPlatform;

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD /*dwFlagsAndAttributes*/, HANDLE hTemplateFile) {
    // Only what keeps the file still can be given: read access, others may read too.
    if (lpFileName == nullptr || dwDesiredAccess != GENERIC_READ || (dwShareMode & ~FILE_SHARE_READ) != 0 ||
        lpSecurityAttributes != nullptr || dwCreationDisposition != OPEN_EXISTING || hTemplateFile != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::optional<std::string> path = Utf8FromWide(lpFileName);
    const std::optional<std::string> full = path ? FullPath(path->c_str()) : std::nullopt;
    if (!full) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    DWORD error = ERROR_SUCCESS;
    HANDLE handle = HandleTable::Instance().Open(*full, error);
    if (handle == INVALID_HANDLE_VALUE) SetLastError(error);
    return handle;
}

BOOL CloseHandle(HANDLE hObject) {
    if (!HandleTable::Instance().Close(hObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

DWORD GetFileType(HANDLE hFile) {
    if (!SnapshotOfHandle(hFile)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FILE_TYPE_UNKNOWN;
    }
    return FILE_TYPE_DISK;
}

DWORD GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer, LPSTR* lpFilePart) {
    const std::optional<std::string> full = FullPath(lpFileName);
    if (!full) {
        SetLastError(lpFileName == nullptr || *lpFileName == '\0' ? ERROR_INVALID_NAME : ERROR_PATH_NOT_FOUND);
        return 0;
    }
    if (nBufferLength <= full->size() || lpBuffer == nullptr) return static_cast<DWORD>(full->size() + 1);
    std::memcpy(lpBuffer, full->c_str(), full->size() + 1);
    if (lpFilePart != nullptr) {
        const std::size_t slash = full->rfind('/');
        *lpFilePart = slash + 1 < full->size() ? lpBuffer + slash + 1 : nullptr;
    }
    return static_cast<DWORD>(full->size());
}
