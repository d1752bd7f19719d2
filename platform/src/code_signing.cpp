#include "code_signing.h"

#include <cstdint>
#include <sys/stat.h>

#include <openssl/err.h>
#include <openssl/pem.h>

#include "file_io.h"
#include "openssl_owners.h"
#include "signature_format.h"

namespace fs = std::filesystem;

namespace VexaPlatform {
namespace {

[[noreturn]] void FailWithOpenSsl(const std::string& what) {
    std::string message = what;
    if (unsigned long code = ERR_get_error()) {
        char reason[256];
        ERR_error_string_n(code, reason, sizeof reason);
        message += " (" + std::string(reason) + ")";
    }
    ERR_clear_error();
    throw SigningError(message);
}

// Never prompts for a pass phrase: an encrypted key is refused.
int NoPassphrase(char*, int, int, void*) { return 0; }

// A PEM file's bytes in a memory BIO. Read as a regular file only, so that a key
// or certificate path naming a FIFO or a device fails instead of blocking.
BioPtr OpenFile(const fs::path& path) {
    std::optional<std::vector<unsigned char>> bytes = ReadFileBytes(path);
    if (!bytes) throw SigningError("cannot read " + path.string() + " as a regular file");
    if (bytes->size() > static_cast<std::size_t>(INT32_MAX)) throw SigningError(path.string() + " is too large");
    int size = static_cast<int>(bytes->size());
    BioPtr file(BIO_new(BIO_s_mem()));
    if (!file || BIO_write(file.get(), bytes->data(), size) != size) FailWithOpenSsl("out of memory");
    return file;
}

}  // namespace

std::vector<unsigned char> SignContent(const std::vector<unsigned char>& content, const fs::path& keyPem,
                                       const fs::path& certPem) {
    EvpPkeyPtr key(PEM_read_bio_PrivateKey(OpenFile(keyPem).get(), nullptr, NoPassphrase, nullptr));
    if (!key) FailWithOpenSsl("cannot read an unencrypted private key from " + keyPem.string());
    BioPtr certs = OpenFile(certPem);
    X509Ptr cert(PEM_read_bio_X509(certs.get(), nullptr, nullptr, nullptr));
    if (!cert) FailWithOpenSsl("cannot read a certificate from " + certPem.string());

    constexpr unsigned flags = CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP;
    CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags | CMS_PARTIAL));
    if (!cms) FailWithOpenSsl("cannot create a signature");
    if (CMS_add1_signer(cms.get(), cert.get(), key.get(), EVP_sha256(), flags) == nullptr)
        FailWithOpenSsl("cannot sign with " + keyPem.string() + " and " + certPem.string());
    // The certificates after the signer's in the same file (intermediate authorities
    // between it and a root) travel in the block, so that a verifier that trusts
    // only the root can build the chain.
    while (X509Ptr issuer{PEM_read_bio_X509(certs.get(), nullptr, nullptr, nullptr)})
        if (CMS_add1_cert(cms.get(), issuer.get()) != 1)
            FailWithOpenSsl("cannot add a certificate of " + certPem.string());
    ERR_clear_error();  // the end of the file
    if (content.size() > static_cast<std::size_t>(INT32_MAX)) throw SigningError("file too large to sign");
    BioPtr data = MemoryReader(content.data(), content.size());
    if (!data) FailWithOpenSsl("out of memory");
    if (CMS_final(cms.get(), data.get(), nullptr, flags) != 1) FailWithOpenSsl("cannot compute the signature");

    int blockSize = i2d_CMS_ContentInfo(cms.get(), nullptr);
    if (blockSize <= 0) FailWithOpenSsl("cannot encode the signature");
    std::vector<unsigned char> signedFile(content);
    signedFile.resize(content.size() + static_cast<std::size_t>(blockSize));
    unsigned char* out = signedFile.data() + content.size();
    if (i2d_CMS_ContentInfo(cms.get(), &out) != blockSize) FailWithOpenSsl("cannot encode the signature");
    unsigned char trailer[kTrailerSize];
    WriteTrailer(static_cast<std::uint64_t>(blockSize), trailer);
    signedFile.insert(signedFile.end(), trailer, trailer + kTrailerSize);
    return signedFile;
}

void SignFile(const fs::path& file, const fs::path& keyPem, const fs::path& certPem) {
    std::error_code error;
    // Replace the file a symbolic link names, not the link.
    fs::path target = fs::canonical(file, error);
    if (error) throw SigningError("cannot find " + file.string() + ": " + error.message());
    struct stat info {};
    if (::stat(target.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        throw SigningError(file.string() + " is not a regular file");
    std::optional<std::vector<unsigned char>> bytes = ReadFileBytes(target);
    if (!bytes) throw SigningError("cannot read " + file.string());

    SignatureLayout layout = LocateSignature(bytes->data(), bytes->size());
    if (layout.kind == SignatureLayout::Kind::Malformed)
        throw SigningError(file.string() + " ends in a damaged signature; refusing to sign it");
    if (layout.kind == SignatureLayout::Kind::Signed) bytes->resize(layout.contentSize);

    std::vector<unsigned char> signedFile = SignContent(*bytes, keyPem, certPem);
    WriteFileAtomically(target, signedFile.data(), signedFile.size(), info.st_mode & 07777);
}

}  // namespace VexaPlatform
