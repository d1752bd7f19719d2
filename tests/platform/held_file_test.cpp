// Read handles that keep a file as it is (CreateFileW with FILE_SHARE_READ alone), the
// trust check and the load through them, and GetFullPathNameA.
#include <cstring>
#include <dlfcn.h>
#include <future>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "code_signing.h"
#include "copy_gate.h"
#include "platform_test_support.h"

namespace fs = std::filesystem;
using namespace PlatformTest;

namespace {

// WinVerifyTrust as the loader calls it, with the handle beside the path.
LONG VerifyThrough(const fs::path& file, HANDLE handle) { return Vexa::VerifyFileTrust(file.wstring().c_str(), handle); }

int Answer(HMODULE module) {
    auto answer = reinterpret_cast<int (*)()>(reinterpret_cast<void*>(GetProcAddress(module, "PlatformTestAnswer")));
    return answer != nullptr ? answer() : -1;
}

class HeldFile : public ::testing::Test {
protected:
    void SetUp() override {
        machine.TrustDevelopmentRoot();
        directory = machine.MakeDirectory("lib");
        library = VexaTest::MachineState::Stage(PLATFORM_TEST_LIBRARY, directory, "Held.dll");
        VexaPlatform::SignFile(library, DevelopmentSigner().key, DevelopmentSigner().cert);
        ASSERT_EQ(VerifyTrust(library), 0);
    }

    // Loads the library and keeps it in the process past its last FreeLibrary, as a
    // library that pins itself does; the module, freed.
    HMODULE LoadResident() {
        HMODULE module = LoadLibraryExA(library.c_str(), nullptr, 0);
        EXPECT_NE(module, nullptr);
        void* pin = dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
        EXPECT_NE(pin, nullptr);
        if (pin != nullptr) dlclose(pin);
        EXPECT_TRUE(FreeLibrary(module));
        return module;
    }

    VexaTest::MachineState machine;
    fs::path directory;
    fs::path library;
};

}  // namespace

// Whatever another process does to the file after the handle is open, the check
// through the handle and the load of the path see the bytes the handle was opened on.
class HeldFileChanged : public HeldFile, public ::testing::WithParamInterface<const char*> {
protected:
    void Change() {
        const std::string how = GetParam();
        const std::vector<unsigned char> unsigned_library = ReadBytes(PLATFORM_TEST_LIBRARY);
        if (how == std::string("renamed over")) {
            const fs::path other = directory / "other.dll";
            WriteBytes(other, unsigned_library);
            fs::rename(other, library);
        } else if (how == std::string("rewritten in place")) {
            std::vector<unsigned char> bytes = ReadBytes(library);
            bytes[bytes.size() / 2] ^= 0xFF;
            WriteBytes(library, bytes);
        } else {
            fs::remove(library);
        }
    }
};

TEST_P(HeldFileChanged, CheckAndLoadSeeTheBytesTheHandleWasOpenedOn) {
    HANDLE held = OpenHeld(library);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileType(held), FILE_TYPE_DISK);
    Change();
    EXPECT_NE(VerifyTrust(library), 0) << "the file on disk is no longer the signed one";
    EXPECT_EQ(VerifyThrough(library, held), 0);
    HMODULE module = LoadLibraryExA(library.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(Answer(module), 42);
    // The module names the file it was loaded for, as GetModuleFileName would.
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(GetProcAddress(module, "PlatformTestAnswer")), &info), 0);
    EXPECT_EQ(fs::path(info.dli_fname), library);
    EXPECT_TRUE(CloseHandle(held));
    EXPECT_TRUE(FreeLibrary(module));
    // Once the handle is closed, the path means what is on disk again.
    EXPECT_FALSE(CloseHandle(held)) << "a closed handle is no longer one";
    EXPECT_NE(VerifyThrough(library, held), 0);
}

INSTANTIATE_TEST_SUITE_P(Changes, HeldFileChanged,
                         ::testing::Values("renamed over", "rewritten in place", "deleted"),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (c == ' ') c = '_';
                             return name;
                         });

TEST_F(HeldFile, HandlesOfOnePathShareTheFileAsOpenedFirst) {
    HANDLE first = OpenHeld(library);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    WriteBytes(library, ReadBytes(PLATFORM_TEST_LIBRARY));  // unsigned from now on
    HANDLE second = OpenHeld(directory / "." / "Held.dll");
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(VerifyThrough(library, second), 0);
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(CloseHandle(second));
    HANDLE third = OpenHeld(library);
    ASSERT_NE(third, INVALID_HANDLE_VALUE);
    EXPECT_NE(VerifyThrough(library, third), 0) << "with no handle left open, a new one sees the disk";
    EXPECT_TRUE(CloseHandle(third));
}

// The bytes of the last file opened are kept after its handles close, and a new handle
// takes them again only when the file still holds every one of them: a change anywhere,
// on either side of the boundaries at which the file is compared, or of its length, is
// seen by the next handle.
TEST_F(HeldFile, AHandleOpenedAfterAChangeSeesTheChangedFile) {
    std::vector<unsigned char> payload(3 * 65536 + 100);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<unsigned char>((i * 7919) >> 5);
    const fs::path file = directory / "payload.bin";
    WriteBytes(file, payload);
    VexaPlatform::SignFile(file, DevelopmentSigner().key, DevelopmentSigner().cert);
    const std::vector<unsigned char> original = ReadBytes(file);

    const auto verifiedThroughANewHandle = [&] {
        HANDLE handle = OpenHeld(file);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE);
        const LONG status = VerifyThrough(file, handle);
        EXPECT_TRUE(CloseHandle(handle));
        return status;
    };
    std::vector<std::pair<std::string, std::vector<unsigned char>>> changes;
    for (std::size_t at : {std::size_t{0}, std::size_t{65535}, std::size_t{65536}, std::size_t{131072},
                           payload.size(), original.size() - 1}) {
        std::vector<unsigned char> bytes = original;
        bytes[at] ^= 0x10;
        changes.emplace_back("byte " + std::to_string(at) + " changed", bytes);
    }
    changes.emplace_back("one byte shorter", std::vector<unsigned char>(original.begin(), original.end() - 1));
    changes.emplace_back("one byte longer", original);
    changes.back().second.push_back(0);

    for (const auto& [what, bytes] : changes) {
        SCOPED_TRACE(what);
        WriteBytes(file, original);
        ASSERT_EQ(verifiedThroughANewHandle(), 0);
        WriteBytes(file, bytes);
        EXPECT_NE(verifiedThroughANewHandle(), 0);
        WriteBytes(file, original);
        EXPECT_EQ(verifiedThroughANewHandle(), 0) << "the same bytes written again";
    }
}

TEST_F(HeldFile, OneModulePerFullPathCountedUntilTheLastFree) {
    const fs::path relative = fs::relative(library);
    HMODULE first = LoadLibraryExA(library.c_str(), nullptr, 0);
    HMODULE second = LoadLibraryExA((directory / ".." / "lib" / "Held.dll").c_str(), nullptr, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    if (!relative.empty() && relative.is_relative()) {
        HMODULE third = LoadLibraryExA(relative.c_str(), nullptr, 0);
        EXPECT_EQ(third, first);
        EXPECT_TRUE(FreeLibrary(third));
    }
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ(Answer(second), 42) << "still loaded: one load is left";
    const auto mapped = [&] {
        void* probe = dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (probe != nullptr) dlclose(probe);
        return probe != nullptr;
    };
    EXPECT_TRUE(mapped());
    EXPECT_TRUE(FreeLibrary(second));
    EXPECT_FALSE(mapped());
}

// A library may keep itself mapped past its last FreeLibrary. The dynamic loader knows
// it by the descriptor name it was opened with, which a later snapshot may be given
// again: that later load must still get its own file, never the resident module.
TEST_F(HeldFile, AModuleThatStaysResidentIsNeverReturnedForAnotherFile) {
    HMODULE first = LoadResident();
    const fs::path other = VexaTest::MachineState::Stage(PLATFORM_TEST_LIBRARY, directory, "Other.dll");
    for (int round = 0; round < 4; ++round) {
        HMODULE second = LoadLibraryExA(other.c_str(), nullptr, 0);
        ASSERT_NE(second, nullptr);
        EXPECT_NE(second, first);
        Dl_info info{};
        ASSERT_NE(dladdr(reinterpret_cast<void*>(GetProcAddress(second, "PlatformTestAnswer")), &info), 0);
        EXPECT_EQ(fs::path(info.dli_fname), other);
        EXPECT_TRUE(FreeLibrary(second));
    }
}

// Such a module is still the module of its own path: loading the path again returns it,
// counted, as Windows returns a module that is still loaded, with the file held and
// verified as the loader does it.
TEST_F(HeldFile, AModuleThatStaysResidentIsReturnedForItsPath) {
    HMODULE first = LoadResident();
    for (int round = 0; round < 5; ++round) {
        HANDLE held = OpenHeld(library);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        EXPECT_EQ(VerifyThrough(library, held), 0);
        HMODULE again = LoadLibraryExA(library.c_str(), nullptr, 0);
        EXPECT_TRUE(CloseHandle(held));
        ASSERT_EQ(again, first) << "round " << round;
        EXPECT_EQ(Answer(again), 42);
        EXPECT_TRUE(FreeLibrary(again));
    }
}

// Copying a file into its snapshot takes as long as the file is large; meanwhile every
// other thread of the process opens, examines and closes handles as before.
TEST_F(HeldFile, OtherHandlesDoNotWaitForACopy) {
    const fs::path slow = VexaTest::MachineState::Stage(PLATFORM_TEST_LIBRARY, directory, "Slow.dll");
    const fs::path other = VexaTest::MachineState::Stage(PLATFORM_TEST_LIBRARY, directory, "Other.dll");
    const Outcome outcome = RunBounded([&] {
        HANDLE held = OpenHeld(library);
        std::promise<void> copying;
        std::promise<void> finish;
        std::shared_future<void> finished = finish.get_future().share();
        CopyGate gate("/Slow.dll", [&] {
            copying.set_value();
            finished.wait();
        });
        std::thread copier([&] {
            HANDLE handle = OpenHeld(slow);
            if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        });
        copying.get_future().wait();
        std::string seen = GetFileType(held) == FILE_TYPE_DISK ? "type known" : "type unknown";
        HANDLE another = OpenHeld(other);
        seen += another != INVALID_HANDLE_VALUE ? "; opened" : "; not opened";
        seen += CloseHandle(another) ? "; closed" : "; not closed";
        seen += CloseHandle(held) ? "; closed" : "; not closed";
        finish.set_value();
        copier.join();
        return seen;
    });
    ASSERT_TRUE(outcome.returned) << outcome.how;
    EXPECT_EQ(outcome.result, "type known; opened; closed; closed");
}

TEST_F(HeldFile, OnlyHandlesThatKeepTheFileAsItIsAreGiven) {
    const std::wstring path = library.wstring();
    struct Request {
        DWORD access, share, disposition;
    };
    for (const Request& request : {Request{GENERIC_READ | 0x40000000u, FILE_SHARE_READ, OPEN_EXISTING},
                                   Request{GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING},
                                   Request{GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING},
                                   Request{GENERIC_READ, FILE_SHARE_READ, 1u /* CREATE_NEW */}}) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(CreateFileW(path.c_str(), request.access, request.share, nullptr, request.disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(OpenHeld(directory / "missing.dll"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    int notAHandle = 0;
    EXPECT_EQ(GetFileType(&notAHandle), FILE_TYPE_UNKNOWN);
    EXPECT_FALSE(CloseHandle(&notAHandle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_NE(VerifyThrough(library, &notAHandle), 0) << "a foreign handle is never followed";
}

// A FIFO, a socket, a device or a directory where the library should be is refused at
// once by the handle, the load and the check by path, never waited on.
TEST_F(HeldFile, NonRegularFilesAreRefusedAtOnce) {
    const fs::path fifo = directory / "fifo.dll";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const fs::path socketFile = directory / "socket.dll";
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketFile.string().size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socketFile.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const fs::path device = directory / "device.dll";
    fs::create_symlink("/dev/zero", device);
    const fs::path folder = machine.MakeDirectory("folder.dll");

    for (const fs::path& file : {fifo, socketFile, device, folder}) {
        const Outcome outcome = RunBounded([&] {
            const bool refused = OpenHeld(file) == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED &&
                                 LoadLibraryExA(file.c_str(), nullptr, 0) == nullptr;
            return std::string(refused ? "refused" : "taken");
        });
        EXPECT_TRUE(outcome.returned) << file << ": " << outcome.how;
        EXPECT_EQ(outcome.result, "refused") << file;
    }
    close(listener);
}

TEST(FullPathName, AbsoluteLexicallyNormalAndSizedAsOnWindows) {
    const std::string cwd = fs::current_path().string();
    const std::string expected = cwd + "/b/c.dll";
    char buffer[4096];
    LPSTR filePart = nullptr;
    EXPECT_EQ(GetFullPathNameA("a/../b/./c.dll", 0, nullptr, nullptr), expected.size() + 1);
    EXPECT_EQ(GetFullPathNameA("a/../b/./c.dll", static_cast<DWORD>(expected.size()), buffer, nullptr),
              expected.size() + 1)
        << "one byte short of the terminator";
    ASSERT_EQ(GetFullPathNameA("a/../b/./c.dll", sizeof buffer, buffer, &filePart), expected.size());
    EXPECT_EQ(std::string(buffer), expected);
    ASSERT_NE(filePart, nullptr);
    EXPECT_STREQ(filePart, "c.dll");
    ASSERT_EQ(GetFullPathNameA("/x/y/../z.dll", sizeof buffer, buffer, nullptr), 8u);
    EXPECT_STREQ(buffer, "/x/z.dll");
    EXPECT_EQ(GetFullPathNameA("", sizeof buffer, buffer, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
}
