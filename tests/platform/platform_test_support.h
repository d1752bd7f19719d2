// Helpers shared by the stand-in's tests.
#pragma once

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <vexa_platform/windows.h>

#include "loader/trust_verification.h"
#include "machine_state.h"

namespace PlatformTest {

inline constexpr GUID kFrameworkClass = {0x4c0e7a1d, 0x8b2f, 0x4e65, {0x9a, 0x13, 0x6f, 0x2d, 0x5c, 0x8b, 0x0e, 0x47}};
inline constexpr const char* kFrameworkClassText = "{4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47}";
inline constexpr GUID kOtherClass = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
inline constexpr const char* kOtherClassText = "{11111111-2222-3333-4444-555555555555}";

struct Signer {
    std::filesystem::path key;
    std::filesystem::path cert;
};

inline Signer DevelopmentSigner() { return {PLATFORM_DEV_SIGNER_KEY, PLATFORM_DEV_SIGNER_CERT}; }
// Signers made for the tests (see CMakeLists.txt): untrusted-signer, server-signer,
// no-usage-signer, signer-under-not-a-ca, expired-signer.
inline Signer TestSigner(const std::string& name) {
    std::filesystem::path dir = PLATFORM_TEST_CERTS;
    return {dir / (name + "-key.pem"), dir / (name + "-cert.pem")};
}
inline std::filesystem::path TestCertificate(const std::string& name) {
    return std::filesystem::path(PLATFORM_TEST_CERTS) / (name + "-cert.pem");
}

inline std::vector<unsigned char> ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::filesystem::path& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadText(const std::filesystem::path& path) {
    std::vector<unsigned char> bytes = ReadBytes(path);
    return {bytes.begin(), bytes.end()};
}

// How a call that RunBounded ran ended.
struct Outcome {
    bool returned = false;  // the call returned what `result` holds
    std::string result;
    std::string how;  // how the child ended otherwise (exit status 2: the call threw)
};

// A call that blocks would block the test for ever; it runs in a child that an alarm
// ends instead. The bound is generous, for loaded machines and sanitizer builds: what
// the tests wait for takes microseconds.
inline constexpr unsigned kSecondsBeforeAHangCounts = 60;

// Runs `call` in a child process that an alarm ends if the call does not return; the
// text it returns comes back through a pipe.
inline Outcome RunBounded(const std::function<std::string()>& call) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork");
    if (child == 0) {
        // The child never returns into the test framework, whatever the call does.
        ::close(ends[0]);
        ::alarm(kSecondsBeforeAHangCounts);
        try {
            const std::string result = call();
            for (std::size_t done = 0; done < result.size();) {
                const ssize_t put = ::write(ends[1], result.data() + done, result.size() - done);
                if (put < 0 && errno == EINTR) continue;
                if (put <= 0) ::_exit(1);
                done += static_cast<std::size_t>(put);
            }
            ::_exit(0);
        } catch (...) {
            ::_exit(2);
        }
    }
    ::close(ends[1]);
    Outcome outcome;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(ends[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        outcome.result.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(ends[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    outcome.returned = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
        outcome.how = "still waiting after " + std::to_string(kSecondsBeforeAHangCounts) + " s";
    else if (WIFSIGNALED(status))
        outcome.how = "killed by signal " + std::to_string(WTERMSIG(status));
    else
        outcome.how = "exit status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return outcome;
}

// A read handle that keeps the file as it is, as the loader opens one.
inline HANDLE OpenHeld(const std::filesystem::path& file) {
    return CreateFileW(file.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// WinVerifyTrust the way the loader calls it.
inline LONG VerifyTrust(const std::wstring& path) { return Vexa::VerifyFileTrust(path.c_str()); }
inline LONG VerifyTrust(const std::filesystem::path& path) { return VerifyTrust(path.wstring()); }

}  // namespace PlatformTest
