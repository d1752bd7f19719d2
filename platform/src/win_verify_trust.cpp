#include "win_verify_trust.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include <openssl/err.h>
#include <openssl/pem.h>

#include "file_io.h"
#include "file_snapshot.h"
#include "machine_state_directory.h"
#include "openssl_owners.h"
#include "signature_format.h"
#include "signed_content.h"
#include "text.h"

namespace fs = std::filesystem;

namespace VexaPlatform {
namespace {

// The outcome of one verification: the status WinVerifyTrust returns and, once the
// block names it, the signer's certificate. A VERIFY call leaves it in hWVTStateData
// until the CLOSE call frees it.
struct Verdict {
    LONG status = TRUST_E_SYSTEM_ERROR;
    X509Ptr signer;
};

// Clears the thread's OpenSSL error queue when a verification ends, whichever way.
struct OpenSslErrorScope {
    ~OpenSslErrorScope() { ERR_clear_error(); }
};

// The certificates one PEM file's bytes decode to.
using Certificates = std::vector<X509Ptr>;

// The files of trust/ as decoded before, by their bytes. Decoding a certificate (its
// public key above all) costs as much as hashing a few hundred kilobytes, and the
// trusted roots seldom change: every file is still read for every verification, and
// only bytes equal to ones decoded before take what those decoded to.
class DecodedRoots {
public:
    static DecodedRoots& Instance() {
        static DecodedRoots* roots = new DecodedRoots;  // outlives every static destructor
        return *roots;
    }

    std::shared_ptr<const Certificates> Of(const std::vector<unsigned char>& pem) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto found = decoded.find(pem);
            if (found != decoded.end()) return found->second;
        }
        auto certificates = std::make_shared<Certificates>();
        BioPtr file = MemoryReader(pem.data(), pem.size());
        if (!file) throw std::bad_alloc();
        while (X509Ptr cert{PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr)})
            certificates->push_back(std::move(cert));
        std::lock_guard<std::mutex> lock(mutex);
        if (decoded.size() >= kMostFiles) decoded.clear();  // files come and go: never more than this
        decoded.emplace(pem, certificates);
        return certificates;
    }

private:
    static constexpr std::size_t kMostFiles = 64;
    std::mutex mutex;
    std::map<std::vector<unsigned char>, std::shared_ptr<const Certificates>> decoded;
};

// Every certificate of every file in trust/ is a trust anchor, whether or not it
// is self-signed (partial chains are accepted).
X509StorePtr TrustedRoots() {
    X509StorePtr store(X509_STORE_new());
    if (!store) throw std::bad_alloc();
    X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN);
    std::error_code error;
    fs::directory_iterator entries(MachineRoot() / kTrustDirectory, error);
    if (error) return store;
    for (const fs::directory_entry& entry : entries) {
        // Read through a descriptor whose type is checked, never by opening the path
        // again after a look at it: a file swapped for a FIFO in between would block
        // every verification. What cannot be read as a regular file holds no root.
        std::optional<std::vector<unsigned char>> pem = ReadFileBytes(entry.path());
        if (!pem || pem->size() > static_cast<std::size_t>(INT_MAX)) continue;
        for (const X509Ptr& cert : *DecodedRoots::Instance().Of(*pem)) X509_STORE_add_cert(store.get(), cert.get());
    }
    return store;
}

LONG ChainStatus(int verifyError) {
    switch (verifyError) {
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            return CERT_E_UNTRUSTEDROOT;
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return CERT_E_EXPIRED;
        default:
            return CERT_E_CHAINING;
    }
}

// A certificate authority's extended key usage limits what it may vouch for. One
// without the extension is unrestricted; one with it must allow code signing or
// any usage, or nothing it issues, directly or through others, signs code.
bool AllowsCodeSigning(X509* authority) {
    if (!(X509_get_extension_flags(authority) & EXFLAG_XKUSAGE)) return true;
    return (X509_get_extended_key_usage(authority) & (XKU_CODE_SIGN | XKU_ANYEKU)) != 0;
}

// Builds and checks the chain from the signer to a trusted root. OpenSSL applies
// no usage policy here (no purpose is set), so the restriction of every
// authority above the signer, the trusted root included, is checked on the
// chain it built.
LONG VerifyChain(X509* signer, STACK_OF(X509) * intermediates) {
    X509StorePtr roots = TrustedRoots();
    X509StoreCtxPtr context(X509_STORE_CTX_new());
    if (!context || X509_STORE_CTX_init(context.get(), roots.get(), signer, intermediates) != 1)
        throw std::bad_alloc();
    if (X509_verify_cert(context.get()) != 1) return ChainStatus(X509_STORE_CTX_get_error(context.get()));
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context.get());
    if (chain == nullptr) return CERT_E_CHAINING;
    for (int i = 1; i < sk_X509_num(chain); ++i)
        if (!AllowsCodeSigning(sk_X509_value(chain, i))) return CERT_E_WRONG_USAGE;
    return 0;
}

// The signer itself must name codeSigning; anyExtendedKeyUsage or no extension
// at all does not make a code signer.
bool HasCodeSigningUsage(X509* cert) {
    return (X509_get_extension_flags(cert) & EXFLAG_XKUSAGE) && (X509_get_extended_key_usage(cert) & XKU_CODE_SIGN);
}

int AlgorithmNid(const X509_ALGOR* algorithm) {
    const ASN1_OBJECT* object = nullptr;
    X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
    return object != nullptr ? OBJ_obj2nid(object) : NID_undef;
}

// Parts of the block that no signature covers and OpenSSL does not check: they
// must be exactly what the signer writes, so that no changed byte goes unnoticed.
// The encoding must be canonical DER, the content type id-data, the versions 1,
// the digest SHA-256 and the signature algorithm one that goes with it.
bool FollowsSignerProfile(CMS_ContentInfo* cms, CMS_SignerInfo* signerInfo, const unsigned char* block,
                          std::size_t blockSize) {
    unsigned char* encoded = nullptr;
    int encodedSize = i2d_CMS_ContentInfo(cms, &encoded);
    bool canonical = encodedSize > 0 && static_cast<std::size_t>(encodedSize) == blockSize &&
                     std::memcmp(encoded, block, blockSize) == 0;
    OPENSSL_free(encoded);
    if (!canonical || !HasVersionOneSignedData(block, blockSize)) return false;
    if (OBJ_obj2nid(CMS_get0_eContentType(cms)) != NID_pkcs7_data) return false;
    X509_ALGOR* digest = nullptr;
    X509_ALGOR* signature = nullptr;
    CMS_SignerInfo_get0_algs(signerInfo, nullptr, nullptr, &digest, &signature);
    if (digest == nullptr || signature == nullptr || AlgorithmNid(digest) != NID_sha256) return false;
    int signatureNid = AlgorithmNid(signature);
    return signatureNid == NID_ecdsa_with_SHA256 || signatureNid == NID_rsaEncryption ||
           signatureNid == NID_sha256WithRSAEncryption;
}

// Whether the signer identifier names this certificate byte for byte. OpenSSL's own
// match (CMS_SignerInfo_cert_cmp) compares names in a canonical form that ignores the
// case and spacing of their texts, and a name keeps the bytes it was decoded from, so
// a changed byte of the identifier's issuer name, which no signature covers, would
// otherwise go unnoticed.
bool IdentifiesExactly(CMS_SignerInfo* signerInfo, X509* cert) {
    if (CMS_SignerInfo_cert_cmp(signerInfo, cert) != 0) return false;
    ASN1_OCTET_STRING* keyId = nullptr;
    X509_NAME* issuer = nullptr;
    ASN1_INTEGER* serial = nullptr;
    if (CMS_SignerInfo_get0_signer_id(signerInfo, &keyId, &issuer, &serial) != 1) return false;
    if (keyId != nullptr) return true;  // key identifiers are compared byte for byte already
    if (issuer == nullptr || serial == nullptr) return false;
    const unsigned char* named = nullptr;
    std::size_t namedSize = 0;
    const unsigned char* own = nullptr;
    std::size_t ownSize = 0;
    if (X509_NAME_get0_der(issuer, &named, &namedSize) != 1 ||
        X509_NAME_get0_der(X509_get_issuer_name(cert), &own, &ownSize) != 1)
        return false;
    return namedSize == ownSize && std::memcmp(named, own, ownSize) == 0 &&
           ASN1_INTEGER_cmp(serial, X509_get0_serialNumber(cert)) == 0;
}

Verdict VerifyBytes(const unsigned char* file, std::size_t fileSize) {
    Verdict verdict;
    if (fileSize > kLargestSignedFile) return {CRYPT_E_FILE_ERROR, {}};
    SignatureLayout layout = LocateSignature(file, fileSize);
    if (layout.kind == SignatureLayout::Kind::Unsigned) return {TRUST_E_NOSIGNATURE, {}};
    if (layout.kind == SignatureLayout::Kind::Malformed) return {CRYPT_E_BAD_ENCODE, {}};

    // The DER block must be exactly one CMS structure, nothing before or after it.
    const unsigned char* block = file + layout.contentSize;
    const unsigned char* cursor = block;
    if (layout.blockSize > static_cast<std::size_t>(LONG_MAX)) return {CRYPT_E_BAD_ENCODE, {}};
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(layout.blockSize)));
    if (!cms || cursor != block + layout.blockSize) return {CRYPT_E_BAD_ENCODE, {}};
    if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed || CMS_is_detached(cms.get()) != 1)
        return {CRYPT_E_BAD_ENCODE, {}};
    STACK_OF(CMS_SignerInfo)* signerInfos = CMS_get0_SignerInfos(cms.get());
    if (signerInfos == nullptr || sk_CMS_SignerInfo_num(signerInfos) != 1) return {CRYPT_E_BAD_ENCODE, {}};
    CMS_SignerInfo* signerInfo = sk_CMS_SignerInfo_value(signerInfos, 0);
    if (!FollowsSignerProfile(cms.get(), signerInfo, block, layout.blockSize)) return {CRYPT_E_BAD_ENCODE, {}};

    X509StackPtr certs(CMS_get1_certs(cms.get()));
    X509* signerCert = nullptr;
    for (int i = 0; certs && i < sk_X509_num(certs.get()); ++i)
        if (IdentifiesExactly(signerInfo, sk_X509_value(certs.get(), i)))
            signerCert = sk_X509_value(certs.get(), i);
    if (signerCert == nullptr) return {TRUST_E_NO_SIGNER_CERT, {}};
    X509_up_ref(signerCert);
    verdict.signer.reset(signerCert);

    // The digest and signature over exactly the bytes before the block; the chain
    // is checked below, against the trusted roots of the machine state.
    if (!SignsContent(cms.get(), file, layout.contentSize)) {
        verdict.status = TRUST_E_BAD_DIGEST;
        return verdict;
    }
    verdict.status = VerifyChain(signerCert, certs.get());
    if (verdict.status == 0 && !HasCodeSigningUsage(signerCert)) verdict.status = CERT_E_WRONG_USAGE;
    return verdict;
}

Verdict VerifyPath(const std::string& path) {
    OpenSslErrorScope errors;
    std::optional<std::vector<unsigned char>> file = ReadFileBytesWithin(path, kLargestSignedFile);
    if (!file) return {CRYPT_E_FILE_ERROR, {}};
    return VerifyBytes(file->data(), file->size());
}

// Through a handle, the snapshot it holds is verified: the very bytes that a load of
// the path maps while the handle is open.
Verdict VerifySnapshot(const Snapshot& snapshot) {
    OpenSslErrorScope errors;
    SnapshotView view(snapshot);
    if (!view) return {CRYPT_E_FILE_ERROR, {}};
    return VerifyBytes(view.Bytes(), view.Size());
}

bool IsGenericVerifyV2(const GUID& action) {
    static const GUID kGenericVerifyV2 = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    return action == kGenericVerifyV2;
}

}  // namespace

std::string DescribeTrustStatus(LONG status) {
    struct Entry {
        LONG status;
        const char* text;
    };
    static const Entry kEntries[] = {
        {0, "the signature is valid and trusted"},
        {E_INVALIDARG, "E_INVALIDARG: invalid arguments"},
        {TRUST_E_ACTION_UNKNOWN, "TRUST_E_ACTION_UNKNOWN: unknown verification action"},
        {TRUST_E_SUBJECT_FORM_UNKNOWN, "TRUST_E_SUBJECT_FORM_UNKNOWN: the subject is not a file"},
        {CRYPT_E_FILE_ERROR, "CRYPT_E_FILE_ERROR: the file cannot be read"},
        {TRUST_E_NOSIGNATURE, "TRUST_E_NOSIGNATURE: the file is not signed"},
        {CRYPT_E_BAD_ENCODE, "CRYPT_E_BAD_ENCODE: the signature block or trailer is malformed"},
        {TRUST_E_NO_SIGNER_CERT, "TRUST_E_NO_SIGNER_CERT: the signer's certificate is missing"},
        {TRUST_E_BAD_DIGEST, "TRUST_E_BAD_DIGEST: the signature does not match the file"},
        {CERT_E_UNTRUSTEDROOT, "CERT_E_UNTRUSTEDROOT: the signer does not chain to a trusted root"},
        {CERT_E_EXPIRED, "CERT_E_EXPIRED: a certificate is outside its validity period"},
        {CERT_E_CHAINING, "CERT_E_CHAINING: the certificate chain cannot be built"},
        {CERT_E_WRONG_USAGE, "CERT_E_WRONG_USAGE: the signer is not allowed to sign code"},
        {TRUST_E_SYSTEM_ERROR, "TRUST_E_SYSTEM_ERROR: internal failure"},
    };
    for (const Entry& entry : kEntries)
        if (entry.status == status) return entry.text;
    return "unknown status";
}

}  // namespace VexaPlatform

using namespace VexaPlatform;

LONG WinVerifyTrust(HWND /*hwnd*/, GUID* pgActionID, LPVOID pWVTData) {
    if (pgActionID == nullptr || pWVTData == nullptr) return E_INVALIDARG;
    auto* data = static_cast<WINTRUST_DATA*>(pWVTData);
    if (data->cbStruct < offsetof(WINTRUST_DATA, pwszURLReference)) return E_INVALIDARG;
    if (!IsGenericVerifyV2(*pgActionID)) return TRUST_E_ACTION_UNKNOWN;

    if (data->dwStateAction == WTD_STATEACTION_CLOSE) {
        delete static_cast<Verdict*>(data->hWVTStateData);
        data->hWVTStateData = nullptr;
        return 0;
    }
    if (data->dwStateAction != WTD_STATEACTION_VERIFY && data->dwStateAction != WTD_STATEACTION_IGNORE)
        return E_INVALIDARG;
    if (data->dwUnionChoice != WTD_CHOICE_FILE) return TRUST_E_SUBJECT_FORM_UNKNOWN;
    const WINTRUST_FILE_INFO* file = data->pFile;
    if (file == nullptr || file->cbStruct < offsetof(WINTRUST_FILE_INFO, hFile) || file->pcwszFilePath == nullptr)
        return E_INVALIDARG;
    std::optional<std::string> path = Utf8FromWide(file->pcwszFilePath);
    if (!path) return E_INVALIDARG;
    const HANDLE handle = file->cbStruct >= offsetof(WINTRUST_FILE_INFO, pgKnownSubject) ? file->hFile : nullptr;

    try {
        Verdict verdict;
        if (handle != nullptr) {
            std::shared_ptr<const Snapshot> snapshot = SnapshotOfHandle(handle);
            verdict = snapshot ? VerifySnapshot(*snapshot) : Verdict{CRYPT_E_FILE_ERROR, {}};
        } else {
            verdict = VerifyPath(*path);
        }
        if (data->dwStateAction == WTD_STATEACTION_VERIFY)
            data->hWVTStateData = new Verdict(std::move(verdict));
        return verdict.status;
    } catch (...) {
        return TRUST_E_SYSTEM_ERROR;
    }
}
