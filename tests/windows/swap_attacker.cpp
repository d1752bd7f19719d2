// The attacker of the swap race under Wine: puts a signed and an unsigned library at a
// published path in turn, as fast as it can, until a stop file appears, and prints how
// many of its attempts succeeded and how many the system refused.
//
//   swap-attacker.exe move  TARGET SIGNED UNSIGNED STOP   MoveFileExW over the target
//   swap-attacker.exe write TARGET SIGNED UNSIGNED STOP   CreateFileW + WriteFile in place
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<char> ReadAll(const wchar_t* path) {
    std::vector<char> bytes;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size)) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        if (!ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) || got != bytes.size())
            bytes.clear();
    }
    CloseHandle(file);
    return bytes;
}

bool Write(const wchar_t* target, const std::vector<char>& content) {
    // Sharing nothing: a writer that others could still read would not be an attack
    // on the reader's view.
    HANDLE file = CreateFileW(target, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD put = 0;
    const bool written = WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &put, nullptr) &&
                         put == content.size() && SetEndOfFile(file);
    CloseHandle(file);
    return written;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: swap-attacker move|write TARGET SIGNED UNSIGNED STOP\n");
        return 2;
    }
    const std::wstring mode = argv[1];
    const wchar_t* target = argv[2];
    const wchar_t* sources[] = {argv[3], argv[4]};
    const wchar_t* stop = argv[5];
    const std::vector<char> contents[] = {ReadAll(sources[0]), ReadAll(sources[1])};
    if (contents[0].empty() || contents[1].empty()) {
        std::fprintf(stderr, "cannot read the libraries\n");
        return 2;
    }
    const std::wstring spare = std::wstring(target) + L".swap";
    long succeeded = 0;
    long refused = 0;
    while (GetFileAttributesW(stop) == INVALID_FILE_ATTRIBUTES) {
        for (int which = 0; which < 2; ++which) {
            bool done;
            if (mode == L"move")
                done = CopyFileW(sources[which], spare.c_str(), FALSE) &&
                       MoveFileExW(spare.c_str(), target, MOVEFILE_REPLACE_EXISTING);
            else
                done = Write(target, contents[which]);
            ++(done ? succeeded : refused);
            // A file rewritten in place is whole only between two writes; a short pause
            // after each lets a reader meet each library whole now and then.
            if (mode != L"move") Sleep(5);
        }
    }
    std::printf("%ld %ld\n", succeeded, refused);
    return 0;
}
