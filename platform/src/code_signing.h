// Signing a file in the embedded signature format (signature_format.h).
#pragma once

#include <filesystem>
#include <stdexcept>
#include <vector>

namespace VexaPlatform {

class SigningError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// `content` followed by a detached SHA-256 CMS signature over it and the trailer.
// `certPem` holds the signer's certificate first; any certificates after it (the
// authorities up to a root) are carried in the signature block too. Throws
// SigningError when the key or certificate cannot be read or do not match.
std::vector<unsigned char> SignContent(const std::vector<unsigned char>& content,
                                       const std::filesystem::path& keyPem, const std::filesystem::path& certPem);

// Signs `file` in place, replacing an earlier signature; the file keeps its mode
// and is replaced atomically. Throws SigningError (or FileError) and leaves the
// file as it was when anything fails.
void SignFile(const std::filesystem::path& file, const std::filesystem::path& keyPem,
              const std::filesystem::path& certPem);

}  // namespace VexaPlatform
