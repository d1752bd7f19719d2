#include "shared/catalog_io.h"

#include "common/resource_owners.h"

#include <aclapi.h>
#include <sddl.h>

#include <system_error>
#include <utility>

#include "interfaces/exception_family.h"
#include "shared/framework_constants.h"

namespace fs = std::filesystem;

namespace Vexa::Framework::CatalogIo {

namespace {

[[noreturn]] void ThrowIoError(const std::string& what, DWORD error) {
    std::string message = what + ": " + std::system_category().message(static_cast<int>(error));
    if (error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT || error == ERROR_SHARING_VIOLATION)
        throw AccessDeniedException(message, kAccessDenied);
    throw FrameworkException(message, kFrameworkFailure);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

[[noreturn]] void ThrowNotRegular(const std::string& what) {
    throw FrameworkException(what + ": not a regular file", kFrameworkFailure);
}

// Whether handle is an ordinary file on a disk: not a directory, not a reparse point
// (a link or junction opened as itself), not a pipe or device.
bool IsPlainDiskFile(HANDLE handle) {
    if (GetFileType(handle) != FILE_TYPE_DISK) return false;
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(handle, &information)) return false;
    return (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

}  // namespace

std::optional<std::string> ReadWhole(const fs::path& file, const Damaged& damaged) {
    const DWORD attributes = GetFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::nullopt;
        ThrowIoError("Cannot examine " + file.string(), error);
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) damaged(file, "not a regular file");
    UniqueFile handle(CreateFileW(file.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::nullopt;
        ThrowIoError("Cannot open " + file.string(), error);
    }
    if (GetFileType(handle.get()) != FILE_TYPE_DISK) damaged(file, "not a regular file");
    // A size beyond the limit is refused before anything is read; the read itself
    // stops at the limit for a file that grows meanwhile.
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(handle.get(), &size))
        ThrowIoError("Cannot examine " + file.string(), GetLastError());
    if (!FitsCatalogLimit(static_cast<std::uint64_t>(size.QuadPart))) damaged(file, TooLargeReason());
    std::string text;
    char buffer[8192];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(handle.get(), buffer, sizeof buffer, &got, nullptr))
            ThrowIoError("Cannot read " + file.string(), GetLastError());
        if (got == 0) return text;
        text.append(buffer, got);
        if (!FitsCatalogLimit(text.size())) damaged(file, TooLargeReason());
    }
}

struct WriterLock::Held {
    explicit Held(HANDLE handle) : file(handle) {}
    UniqueFile file;
    OVERLAPPED region = {};
};

namespace {

// Who may open the lock file: the system, the administrators (vexareg runs elevated)
// and the file's owner. LockFileEx takes the lock through any handle, one opened for
// reading too, so anyone else who could open the file could take the lock and keep it.
// Protected: nothing is inherited from the install directory, which lets every user
// read.
constexpr const wchar_t* kLockFileSecurity = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;S-1-3-4)";

using UniqueSecurityDescriptor = UniqueResource<PSECURITY_DESCRIPTOR, LocalFree>;

UniqueSecurityDescriptor LockFileSecurity(const std::string& what) {
    UniqueSecurityDescriptor descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockFileSecurity, SDDL_REVISION_1,
                                                              descriptor.put(), nullptr))
        ThrowIoError(what, GetLastError());
    return descriptor;
}

// Opens the lock file, or creates it exclusively when there is none. The reparse-point
// flag opens a link planted at the name as itself, which IsPlainDiskFile then refuses;
// CREATE_NEW refuses any existing name, so even where a dangling link is not seen as a
// reparse point, nothing is created at its target. Another writer may create the file
// between the two calls, hence the second round. A file found open to others (made by
// an earlier version) is given the writers' protection when this writer may change it
// (WRITE_DAC); another writer leaves it as it is.
HANDLE OpenLockFile(const fs::path& lockFile, const std::string& what) {
    constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
    constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    const UniqueSecurityDescriptor descriptor = LockFileSecurity(what);
    SECURITY_ATTRIBUTES security = {sizeof security, descriptor.get(), FALSE};
    DWORD error = ERROR_FILE_EXISTS;
    for (int round = 0; round < 2; ++round) {
        HANDLE handle = CreateFileW(lockFile.c_str(), kAccess | WRITE_DAC, kShareAll, nullptr, OPEN_EXISTING, kFlags,
                                    nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            PACL dacl = nullptr;
            BOOL present = FALSE;
            BOOL defaulted = FALSE;
            if (GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted))
                (void)SetSecurityInfo(handle, SE_FILE_OBJECT,
                                      DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                      nullptr, dacl, nullptr);
            return handle;
        }
        handle = CreateFileW(lockFile.c_str(), kAccess, kShareAll, nullptr, OPEN_EXISTING, kFlags, nullptr);
        if (handle != INVALID_HANDLE_VALUE) return handle;
        error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) break;
        handle = CreateFileW(lockFile.c_str(), kAccess, kShareAll, &security, CREATE_NEW, kFlags, nullptr);
        if (handle != INVALID_HANDLE_VALUE) return handle;
        error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    ThrowIoError(what, error);
}

// Gives the new catalog (handle, not yet renamed into place) the DACL of the one at
// file, so that who may read it stays the administrator's choice; a first catalog keeps
// what it inherits from the install directory. A protected DACL stays protected; one
// that inherits takes its inherited entries afresh from the same directory.
void TakeOverAccess(HANDLE handle, const fs::path& file, const fs::path& tempFile) {
    PACL dacl = nullptr;
    UniqueSecurityDescriptor descriptor;
    DWORD error = GetNamedSecurityInfoW(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        &dacl, nullptr, descriptor.put());
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
    if (error != ERROR_SUCCESS) ThrowIoError("Cannot examine " + file.string(), error);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(descriptor.get(), &control, &revision))
        ThrowIoError("Cannot examine " + file.string(), GetLastError());
    const SECURITY_INFORMATION inheritance = (control & SE_DACL_PROTECTED) != 0
                                                 ? PROTECTED_DACL_SECURITY_INFORMATION
                                                 : UNPROTECTED_DACL_SECURITY_INFORMATION;
    error = SetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | inheritance, nullptr, nullptr, dacl,
                            nullptr);
    if (error != ERROR_SUCCESS) ThrowIoError("Cannot set the access of " + tempFile.string(), error);
}

}  // namespace

WriterLock::WriterLock(const fs::path& lockFile)
    : held(std::make_unique<Held>(OpenLockFile(lockFile, "Cannot open lock file " + lockFile.string()))) {
    if (!IsPlainDiskFile(held->file.get())) ThrowNotRegular("Cannot open lock file " + lockFile.string());
    const bool locked = TakeWithinLockWait([&] {
        if (LockFileEx(held->file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                       &held->region))
            return true;
        const DWORD error = GetLastError();
        if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return false;
        ThrowIoError("Cannot lock " + lockFile.string(), error);
    });
    if (!locked) {
        // Nothing is held: the destructor, which unlocks, does not run for a
        // constructor that throws.
        throw TimeoutException("Cannot lock " + lockFile.string() + ": held by another process for longer than " +
                                   std::to_string(kLockWait.count()) + " s",
                               kTimeout);
    }
}

WriterLock::~WriterLock() { UnlockFileEx(held->file.get(), 0, MAXDWORD, MAXDWORD, &held->region); }

void ReplaceDurably(const fs::path& tempPrefix, const fs::path& file, const fs::path& /*directory*/,
                    const std::string& text) {
    // CREATE_NEW refuses any existing name, a link included, and the reparse-point flag
    // keeps the new file from being anything but itself.
    fs::path tempFile;
    UniqueFile handle;
    for (int attempt = 0; !handle; ++attempt) {
        tempFile = tempPrefix;
        tempFile += UnpredictableSuffix();
        handle.reset(CreateFileW(tempFile.c_str(), GENERIC_WRITE | READ_CONTROL | WRITE_DAC, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (handle) break;
        const DWORD error = GetLastError();
        if ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) || attempt + 1 == kTemporaryNameAttempts)
            ThrowIoError("Cannot create " + tempFile.string(), error);
    }
    TakeOverAccess(handle.get(), file, tempFile);
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        DWORD done = 0;
        const DWORD chunk = left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left);
        if (!WriteFile(handle.get(), data, chunk, &done, nullptr))
            ThrowIoError("Cannot write " + tempFile.string(), GetLastError());
        data += done;
        left -= done;
    }
    if (!FlushFileBuffers(handle.get())) ThrowIoError("Cannot flush " + tempFile.string(), GetLastError());
    if (!CloseHandle(handle.release())) ThrowIoError("Cannot close " + tempFile.string(), GetLastError());
    // Write-through: the rename is on the disk when the call returns, as the directory
    // flush makes it elsewhere.
    if (!MoveFileExW(tempFile.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        ThrowIoError("Cannot replace " + file.string(), GetLastError());
}

}  // namespace Vexa::Framework::CatalogIo
