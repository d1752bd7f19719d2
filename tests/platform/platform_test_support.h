// Helpers shared by the stand-in's tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <vexa_platform/windows.h>

#include "common/trust_verification.h"
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

// WinVerifyTrust the way the loader calls it.
inline LONG VerifyTrust(const std::wstring& path) { return Vexa::VerifyFileTrust(path.c_str()); }
inline LONG VerifyTrust(const std::filesystem::path& path) { return VerifyTrust(path.wstring()); }

}  // namespace PlatformTest
