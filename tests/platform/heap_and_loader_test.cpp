// The process heap, library loading and the thread's last error.
#include <cstring>
#include <dlfcn.h>
#include <thread>

#include <gtest/gtest.h>

#include "code_signing.h"
#include "platform_test_support.h"

namespace fs = std::filesystem;
using namespace PlatformTest;

TEST(Heap, ZeroMemoryFlagZeroFills) {
    // Dirty a block first so that a reused one would show.
    void* dirty = HeapAlloc(GetProcessHeap(), 0, 4096);
    ASSERT_NE(dirty, nullptr);
    std::memset(dirty, 0xAB, 4096);
    ASSERT_TRUE(HeapFree(GetProcessHeap(), 0, dirty));

    auto* block = static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 4096));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(block[i], 0) << "byte " << i;
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, block));
}

TEST(Heap, ZeroByteBlocksAreDistinctAndOtherHeapsAreRefused) {
    void* first = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 0);
    void* second = HeapAlloc(GetProcessHeap(), 0, 0);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(first, second);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, first));
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, second));
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, nullptr));

    int notAHeap = 0;
    EXPECT_EQ(HeapAlloc(&notAHeap, 0, 16), nullptr);
    EXPECT_FALSE(HeapFree(&notAHeap, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

namespace {

bool IsMapped(const fs::path& library) {
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) dlclose(handle);
    return handle != nullptr;
}

}  // namespace

TEST(LibraryLoader, LoadsResolvesOwnExportsAndReallyUnloads) {
    fs::path library = PLATFORM_TEST_LIBRARY;
    HMODULE module = LoadLibraryExA(library.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    ASSERT_NE(module, nullptr);
    auto answer = reinterpret_cast<int (*)()>(reinterpret_cast<void*>(GetProcAddress(module, "PlatformTestAnswer")));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_TRUE(IsMapped(library));
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_FALSE(IsMapped(library));
}

TEST(LibraryLoader, ExportsOfDependenciesAndMissingNamesAreNotFound) {
    HMODULE module = LoadLibraryExA(PLATFORM_TEST_LIBRARY, nullptr, 0);
    ASSERT_NE(module, nullptr);
    SetLastError(ERROR_SUCCESS);
    // abs lives in the C library, which the test library depends on.
    EXPECT_EQ(GetProcAddress(module, "abs"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(GetProcAddress(module, "NoSuchExport"), nullptr);
    EXPECT_EQ(GetProcAddress(module, reinterpret_cast<LPCSTR>(1)), nullptr) << "ordinals do not exist here";
    EXPECT_EQ(GetProcAddress(nullptr, "PlatformTestAnswer"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(FreeLibrary(module));
}

TEST(LibraryLoader, FailuresSetTheLastError) {
    VexaTest::MachineState machine;
    fs::path text = machine.Root() / "not-a-library.dll";
    WriteBytes(text, {'n', 'o'});
    EXPECT_EQ(LoadLibraryExA((machine.Root() / "missing.dll").c_str(), nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(LoadLibraryExA(text.c_str(), nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    EXPECT_EQ(LoadLibraryExA(nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(LoadLibraryExA(PLATFORM_TEST_LIBRARY, nullptr, 0x2), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(FreeLibrary(nullptr));
}

// A handle that the module table did not give (one of the dynamic loader's own, one of
// a module already freed, or no module's at all) is refused as on Windows and never
// reaches the dynamic loader, which would unload another's library or follow a stale
// pointer.
TEST(LibraryLoader, FreeLibraryRefusesHandlesItDidNotGive) {
    const Outcome outcome = RunBounded([] {
        std::string seen;
        const auto release = [&](const char* whose, HMODULE handle) {
            SetLastError(ERROR_SUCCESS);
            const bool freed = FreeLibrary(handle) != FALSE;
            seen += std::string(whose) + (freed ? " freed; " : " refused " + std::to_string(GetLastError()) + "; ");
        };
        void* own = dlopen(PLATFORM_TEST_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        release("the dynamic loader's", static_cast<HMODULE>(own));
        seen += IsMapped(PLATFORM_TEST_LIBRARY) ? "still mapped; " : "unmapped; ";
        if (own != nullptr) dlclose(own);
        HMODULE module = LoadLibraryExA(PLATFORM_TEST_LIBRARY, nullptr, 0);
        FreeLibrary(module);
        release("a freed module's", module);
        int notAModule = 0;
        release("no module's", reinterpret_cast<HMODULE>(&notAModule));
        return seen;
    });
    ASSERT_TRUE(outcome.returned) << outcome.how;
    EXPECT_EQ(outcome.result,
              "the dynamic loader's refused 6; still mapped; a freed module's refused 6; no module's refused 6; ");
}

TEST(LibraryLoader, LastErrorBelongsToTheThread) {
    SetLastError(ERROR_MORE_DATA);
    std::thread other([] {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
        SetLastError(ERROR_MOD_NOT_FOUND);
    });
    other.join();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
}

TEST(LibraryLoader, SignedLibraryStillLoads) {
    VexaTest::MachineState machine;
    machine.TrustDevelopmentRoot();
    fs::path library = VexaTest::MachineState::Stage(PLATFORM_TEST_LIBRARY, machine.MakeDirectory("lib"), "Signed.dll");
    VexaPlatform::SignFile(library, DevelopmentSigner().key, DevelopmentSigner().cert);
    ASSERT_EQ(VerifyTrust(library), 0);
    HMODULE module = LoadLibraryExA(library.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    ASSERT_NE(module, nullptr);
    auto answer = reinterpret_cast<int (*)()>(reinterpret_cast<void*>(GetProcAddress(module, "PlatformTestAnswer")));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_TRUE(FreeLibrary(module));
}
