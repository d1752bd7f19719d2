// A file placed where a library should be is never read beyond its size, and never
// beyond what the trust check examines: one without an end of its own
// (/proc/self/pagemap, regular by fstat) or a sparse 64 GiB file that takes no disk is
// refused at once by both loaders, and a file whose length changes while it is copied
// is refused, not truncated.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "code_signing.h"
#include "loader/client_api_wrapper.h"
#include "loader/exceptions.h"
#include "loader/provider_catalog_api_wrapper.h"
#include "copy_gate.h"
#include "platform_test_support.h"

namespace fs = std::filesystem;
using namespace PlatformTest;

namespace {

// The children of these tests may write no more than this into any one file, a
// snapshot included: one that tries is ended by SIGXFSZ.
constexpr rlim_t kMostBytesWritten = 1 << 20;

bool LimitFileSize(rlim_t most) {
    const rlimit limit{most, RLIM_INFINITY};
    return setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

enum class Placed { Pagemap, Sparse64GiB };

struct Library {
    const char* fileName;
    void (*bind)();
};

const Library kLibraries[] = {
    {"Tessaly.dll", [] { Vexa::ClientApi api; }},
    {"Orbisk.dll", [] { Vexa::ProviderCatalogApi api; }},
};

void PrintTo(Placed placed, std::ostream* out) { *out << (placed == Placed::Pagemap ? "Pagemap" : "Sparse64GiB"); }
void PrintTo(const Library& library, std::ostream* out) { *out << library.fileName; }

std::string Hex(LONG status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(status));
    return text;
}

// What the stand-in's readers that take a snapshot made of the file; `before` runs
// before each of them.
std::string Snapshots(const fs::path& file, const std::function<void()>& before = [] {}) {
    std::string seen;
    before();
    HANDLE handle = OpenHeld(file);
    seen += handle == INVALID_HANDLE_VALUE ? "CreateFileW " + std::to_string(GetLastError()) : "CreateFileW opened";
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    before();
    HMODULE module = LoadLibraryExA(file.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    seen += module == nullptr ? "; LoadLibraryExA " + std::to_string(GetLastError()) : "; LoadLibraryExA loaded";
    if (module != nullptr) FreeLibrary(module);
    return seen;
}

class UntrustedLibraryFile : public ::testing::TestWithParam<std::tuple<Placed, Library>> {
protected:
    VexaTest::MachineState machine;
};

}  // namespace

TEST_P(UntrustedLibraryFile, IsRefusedAtOnceWithoutBeingRead) {
    const Placed placed = std::get<0>(GetParam());
    const Library library = std::get<1>(GetParam());
    const fs::path installDir = machine.MakeDirectory("framework");
    const fs::path file = installDir / library.fileName;
    if (placed == Placed::Pagemap) {
        fs::create_symlink("/proc/self/pagemap", file);
    } else {
        WriteBytes(file, {});
        fs::resize_file(file, std::uintmax_t{64} << 30);
    }
    machine.PublishFramework(installDir);

    const Outcome outcome = RunBounded([&] {
        if (!LimitFileSize(kMostBytesWritten)) return std::string("no file size limit");
        std::string seen;
        try {
            library.bind();
            seen = "bound";
        } catch (const Vexa::VexaException& e) {
            seen = std::string(e.what()) + " (" + std::to_string(e.code) + ")";
        }
        return seen + "; " + Snapshots(file) + "; WinVerifyTrust " + Hex(VerifyTrust(file));
    });
    ASSERT_TRUE(outcome.returned) << outcome.how;
    const std::string refusal = placed == Placed::Pagemap ? "32" : "223";  // sharing violation, file too large
    EXPECT_EQ(outcome.result, "Failed to load library: " + std::string(library.fileName) +
                                  " : 42 : Invalid Digital Signature (100); CreateFileW " + refusal +
                                  "; LoadLibraryExA " + refusal + "; WinVerifyTrust " + Hex(CRYPT_E_FILE_ERROR));
}

INSTANTIATE_TEST_SUITE_P(EachLibrary, UntrustedLibraryFile,
                         ::testing::Combine(::testing::Values(Placed::Pagemap, Placed::Sparse64GiB),
                                            ::testing::ValuesIn(kLibraries)),
                         [](const auto& info) {
                             std::string name = std::get<0>(info.param) == Placed::Pagemap ? "Pagemap_" : "Sparse64GiB_";
                             for (const char* c = std::get<1>(info.param).fileName; *c != '.'; ++c) name += *c;
                             return name;
                         });

// A file that another process lengthens or shortens while the stand-in copies it is
// refused, as Windows refuses a file that someone writes: its snapshot would be a torn
// or truncated copy. Lengthened to far beyond the trust check's limit, it is still not
// read past the size it had when opened.
class ResizedWhileCopied : public ::testing::TestWithParam<std::pair<const char*, std::intmax_t>> {};

TEST_P(ResizedWhileCopied, IsRefusedNotTruncated) {
    VexaTest::MachineState machine;
    machine.TrustDevelopmentRoot();
    const fs::path file = VexaTest::MachineState::Stage(PLATFORM_TEST_LIBRARY, machine.MakeDirectory("lib"), "Resized.dll");
    VexaPlatform::SignFile(file, DevelopmentSigner().key, DevelopmentSigner().cert);
    ASSERT_EQ(VerifyTrust(file), 0);
    const std::vector<unsigned char> original = ReadBytes(file);
    const std::intmax_t change = GetParam().second;

    const Outcome outcome = RunBounded([&] {
        if (!LimitFileSize(kMostBytesWritten)) return std::string("no file size limit");
        CopyGate gate("/Resized.dll", [&] {
            // The other writer is not bound by the limit.
            LimitFileSize(RLIM_INFINITY);
            fs::resize_file(file, static_cast<std::uintmax_t>(static_cast<std::intmax_t>(fs::file_size(file)) + change));
            LimitFileSize(kMostBytesWritten);
        });
        return Snapshots(file, [&] { WriteBytes(file, original); });
    });
    ASSERT_TRUE(outcome.returned) << outcome.how;
    EXPECT_EQ(outcome.result, "CreateFileW 32; LoadLibraryExA 32");  // sharing violation
}

INSTANTIATE_TEST_SUITE_P(Changes, ResizedWhileCopied,
                         ::testing::Values(std::make_pair("OneByteLonger", std::intmax_t{1}),
                                           std::make_pair("OneByteShorter", std::intmax_t{-1}),
                                           std::make_pair("PastTheTrustChecksLimit", std::intmax_t{3} << 30)),
                         [](const auto& info) { return std::string(info.param.first); });
