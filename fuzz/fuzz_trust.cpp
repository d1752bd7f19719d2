// A file handed to WinVerifyTrust: the input, as the whole file, and the input as the
// signature block of a file with empty content (so that the fuzzer shapes the DER
// directly), in a private machine state that trusts the development root and the root
// of the committed seeds.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "loader/trust_verification.h"
#include "common/win32.h"
#include "fuzz_support.h"

namespace {

constexpr char kMagic[] = "~VexaSignature~\n";

std::unique_ptr<VexaFuzz::MachineState> machine;
std::filesystem::path subject;
std::wstring wideSubject;

bool IsDocumentedStatus(LONG status) {
    switch (status) {
    case 0:
    case TRUST_E_NOSIGNATURE:
    case CRYPT_E_BAD_ENCODE:
    case TRUST_E_NO_SIGNER_CERT:
    case TRUST_E_BAD_DIGEST:
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_EXPIRED:
    case CERT_E_CHAINING:
    case CERT_E_WRONG_USAGE:
    case TRUST_E_SYSTEM_ERROR:
        return true;
    default:
        return false;
    }
}

LONG Verify() { return Vexa::VerifyFileTrust(wideSubject.c_str()); }

void Check(const std::vector<std::uint8_t>& bytes) {
    VexaFuzz::WriteBytes(subject, bytes.data(), bytes.size());
    const LONG status = Verify();
    if (!IsDocumentedStatus(status)) VexaFuzz::Violation("undocumented status " + std::to_string(status));
    const bool endsInMagic = bytes.size() >= 16 && std::memcmp(bytes.data() + bytes.size() - 16, kMagic, 16) == 0;
    if (!endsInMagic && status != TRUST_E_NOSIGNATURE) VexaFuzz::Violation("no trailer but not TRUST_E_NOSIGNATURE");
    if (Vexa::IsFileTrusted(subject.string()) != (status == 0)) VexaFuzz::Violation("IsFileTrusted disagrees");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    machine = std::make_unique<VexaFuzz::MachineState>();
    machine->TrustRoot(VEXA_FUZZ_DEV_ROOT);
    machine->TrustRoot(VEXA_FUZZ_SEED_ROOT);
    subject = machine->Root() / "subject.dll";
    const std::string narrow = subject.string();
    wideSubject.assign(narrow.begin(), narrow.end());  // the temporary directory's path is ASCII
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> file(data, data + size);
    Check(file);
    // The input as the block of a signature over nothing.
    std::uint64_t blockSize = size;
    for (int i = 0; i < 8; ++i) file.push_back(static_cast<std::uint8_t>(blockSize >> (8 * i)));
    file.insert(file.end(), kMagic, kMagic + 16);
    Check(file);
    return 0;
}
