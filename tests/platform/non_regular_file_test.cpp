// Every place where the stand-in reads a file refuses a FIFO, a socket, a device
// or a directory at once with that place's error for an unreadable file; none of
// them is waited on.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <functional>
#include <ostream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>

#include <gtest/gtest.h>

#include "code_signing.h"
#include "file_io.h"
#include "platform_test_support.h"

namespace fs = std::filesystem;
using namespace PlatformTest;

namespace {

enum class Kind { Fifo, Socket, Directory, Device };

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::Fifo: return "Fifo";
        case Kind::Socket: return "Socket";
        case Kind::Directory: return "Directory";
        case Kind::Device: return "Device";
    }
    return "?";
}

// What the test needs to make a place's call: the machine root and a signed
// library that verifies against the development root.
struct Scene {
    fs::path root;
    fs::path signedLibrary;
};

// A place where the stand-in reads a file: where the special file goes, the call
// that reads it, and the result that call gives for an unreadable file.
struct Place {
    const char* name;
    fs::path (*location)(const Scene& scene);
    std::int64_t (*call)(const Scene& scene, const fs::path& special);
    std::int64_t expected;
};

const Place kPlaces[] = {
    // The Configuration Manager calls fail as for a devices.json that is not JSON.
    {"DevicesJson", [](const Scene& scene) { return scene.root / "devices.json"; },
     [](const Scene&, const fs::path&) -> std::int64_t {
         ULONG size = 0;
         return CM_Get_Device_ID_List_SizeA(&size, "SWD", CM_GETIDLIST_FILTER_ENUMERATOR | CM_GETIDLIST_FILTER_PRESENT);
     },
     CR_REGISTRY_ERROR},
    {"DevicesJsonInterfaceKey", [](const Scene& scene) { return scene.root / "devices.json"; },
     [](const Scene&, const fs::path&) -> std::int64_t {
         HKEY key = nullptr;
         CONFIGRET status = CM_Open_Device_Interface_Key_ExA(
             "\\\\?\\SWD#VexaFramework#0000#{4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47}", GENERIC_READ,
             RegDisposition_OpenExisting, &key, 0, nullptr);
         if (key != nullptr) RegCloseKey(key);
         return status;
     },
     CR_REGISTRY_ERROR},
    // A file of trust/ that cannot be read holds no root; the development root
    // beside it still vouches for the library.
    {"TrustedRootFile", [](const Scene& scene) { return scene.root / "trust" / "roots.pem"; },
     [](const Scene& scene, const fs::path&) -> std::int64_t { return VerifyTrust(scene.signedLibrary); }, 0},
    {"FileToVerify", [](const Scene& scene) { return scene.root / "Library.dll"; },
     [](const Scene&, const fs::path& special) -> std::int64_t { return VerifyTrust(special); },
     CRYPT_E_FILE_ERROR},
    {"ReadFileBytes", [](const Scene& scene) { return scene.root / "bytes"; },
     [](const Scene&, const fs::path& special) -> std::int64_t {
         return VexaPlatform::ReadFileBytes(special).has_value() ? 1 : 0;
     },
     0},
    // The signer's key and certificate files, as `vexa-platform sign` reads them.
    {"SigningKey", [](const Scene& scene) { return scene.root / "key.pem"; },
     [](const Scene& scene, const fs::path& special) -> std::int64_t {
         fs::path file = scene.root / "to-sign.dll";
         WriteBytes(file, {'c', 'o', 'd', 'e'});
         try {
             VexaPlatform::SignFile(file, special, DevelopmentSigner().cert);
             return 0;
         } catch (const VexaPlatform::SigningError&) {
             return 1;
         }
     },
     1},
};

// Makes the special file of `kind` at `path`; a socket stays bound while its
// owner lives.
VexaPlatform::UniqueFd MakeSpecialFile(Kind kind, const fs::path& path) {
    switch (kind) {
        case Kind::Fifo:
            if (::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo " + path.string());
            return {};
        case Kind::Socket: {
            VexaPlatform::UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            if (!socket || path.native().size() >= sizeof address.sun_path)
                throw std::runtime_error("cannot make a socket at " + path.string());
            path.native().copy(address.sun_path, path.native().size());
            if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
                ::listen(socket.get(), 1) != 0)
                throw std::runtime_error("cannot bind a socket at " + path.string());
            return socket;
        }
        case Kind::Directory:
            fs::create_directory(path);
            return {};
        case Kind::Device:
            fs::create_symlink("/dev/null", path);
            return {};
    }
    return {};
}

void PrintTo(Kind kind, std::ostream* out) { *out << KindName(kind); }
void PrintTo(const Place& place, std::ostream* out) { *out << place.name; }

class NonRegularFile : public ::testing::TestWithParam<std::tuple<Kind, Place>> {
protected:
    VexaTest::MachineState machine;
};

TEST_P(NonRegularFile, IsRefusedAtOnceWithTheErrorOfAnUnreadableFile) {
    // Not a structured binding: the lambda below captures place, which C++17 allows
    // only for a variable.
    const Kind kind = std::get<0>(GetParam());
    const Place& place = std::get<1>(GetParam());
    machine.TrustDevelopmentRoot();
    Scene scene{machine.Root(), machine.MakeDirectory("library") / "Signed.dll"};
    WriteBytes(scene.signedLibrary, {'\x7f', 'E', 'L', 'F', 2, 1, 1});
    VexaPlatform::SignFile(scene.signedLibrary, DevelopmentSigner().key, DevelopmentSigner().cert);

    fs::path special = place.location(scene);
    VexaPlatform::UniqueFd keepBound = MakeSpecialFile(kind, special);
    Outcome outcome = RunBounded([&] { return std::to_string(place.call(scene, special)); });
    ASSERT_TRUE(outcome.returned) << place.name << " on a " << KindName(kind) << ": " << outcome.how;
    EXPECT_EQ(outcome.result, std::to_string(place.expected)) << place.name << " on a " << KindName(kind);
}

INSTANTIATE_TEST_SUITE_P(
    EveryPlace, NonRegularFile,
    ::testing::Combine(::testing::Values(Kind::Fifo, Kind::Socket, Kind::Directory, Kind::Device),
                       ::testing::ValuesIn(kPlaces)),
    [](const ::testing::TestParamInfo<std::tuple<Kind, Place>>& info) {
        return std::string(std::get<1>(info.param).name) + "_" + KindName(std::get<0>(info.param));
    });

// The type of a file in trust/ is judged on what is opened, not on the directory
// listing: a PEM file replaced by a FIFO after the listing, over and over while
// verifications run, blocks none of them and costs none of them its verdict.
TEST(NonRegularTrustFile, SwappedForAFifoWhileVerificationsRunNeverBlocks) {
    constexpr int kVerifications = 300;
    VexaTest::MachineState machine;
    machine.TrustDevelopmentRoot();
    fs::path library = machine.MakeDirectory("library") / "Signed.dll";
    WriteBytes(library, {'\x7f', 'E', 'L', 'F', 2, 1, 1});
    VexaPlatform::SignFile(library, DevelopmentSigner().key, DevelopmentSigner().cert);
    fs::path scratch = machine.MakeDirectory("swap");
    fs::path pemSource = scratch / "source.pem";
    fs::copy_file(TestCertificate("other-root"), pemSource);
    fs::path swapped = machine.Root() / "trust" / "swapped.pem";
    // More files in trust/ widen the time between listing the directory and
    // reading the swapped one, where a check on the listing goes stale.
    for (int i = 0; i < 8; ++i)
        fs::copy_file(pemSource, machine.Root() / "trust" / ("other-" + std::to_string(i) + ".pem"));

    Outcome outcome = RunBounded([&] {
        std::atomic<bool> stop{false};
        std::thread swapper([&] {
            fs::path next = scratch / "next";
            for (bool fifo = true; !stop.load(); fifo = !fifo) {
                int made = fifo ? ::mkfifo(next.c_str(), 0600) : ::link(pemSource.c_str(), next.c_str());
                if (made == 0) ::rename(next.c_str(), swapped.c_str());
            }
        });
        std::int64_t trusted = 0;
        for (int i = 0; i < kVerifications; ++i) trusted += VerifyTrust(library) == 0 ? 1 : 0;
        stop = true;
        swapper.join();
        return std::to_string(trusted);
    });
    ASSERT_TRUE(outcome.returned) << outcome.how;
    EXPECT_EQ(outcome.result, std::to_string(kVerifications));
}

}  // namespace
