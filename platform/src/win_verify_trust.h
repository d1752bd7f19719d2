// WinVerifyTrust on Linux: verification of embedded signatures (signature_format.h)
// against the trusted roots of the machine state, with Windows' result codes.
//
// Results of WinVerifyTrust with WINTRUST_ACTION_GENERIC_VERIFY_V2, in the order the
// checks run; the first failing check decides:
//   E_INVALIDARG                  null action or data, or a WINTRUST_DATA too small
//   TRUST_E_ACTION_UNKNOWN        an action other than WINTRUST_ACTION_GENERIC_VERIFY_V2
//   (WTD_STATEACTION_CLOSE frees what an earlier verification left and returns 0 here)
//   E_INVALIDARG                  a state action other than VERIFY, IGNORE or CLOSE
//   TRUST_E_SUBJECT_FORM_UNKNOWN  a subject other than a file (dwUnionChoice)
//   E_INVALIDARG                  no file information, one too small, no file path, or
//                                 a path that is no Unicode text
//   CRYPT_E_FILE_ERROR            by path: the file cannot be opened, is no regular file,
//                                 is 2 GiB or larger (kLargestSignedFile: judged on the
//                                 opened file before a byte of it is read), cannot be
//                                 read, or changes length while it is read (it is never
//                                 read beyond that size); by handle (hFile): the handle
//                                 is not an open one of CreateFileW, or its snapshot
//                                 cannot be mapped. A handle to a file of 2 GiB or more
//                                 does not exist: CreateFileW refuses to open one.
//   TRUST_E_NOSIGNATURE           the file does not end in the signature trailer
//   CRYPT_E_BAD_ENCODE            a malformed trailer or block: length zero or beyond
//                                 the file, DER that is truncated, garbage or has bytes
//                                 after it, not a detached SignedData with one signer
//   TRUST_E_NO_SIGNER_CERT        the signer's certificate is not in the block
//   TRUST_E_BAD_DIGEST            the signature does not verify over the bytes before the block
//   CERT_E_UNTRUSTEDROOT          the signer does not chain to a certificate in trust/
//   CERT_E_EXPIRED                a certificate of the chain is outside its validity period
//   CERT_E_CHAINING               any other fault of the chain
//   CERT_E_WRONG_USAGE            a certificate above the signer in the chain (an intermediate
//                                 or the trusted root) has an extended key usage extension that
//                                 allows neither codeSigning nor anyExtendedKeyUsage (an
//                                 authority without the extension is unrestricted), or the
//                                 signer itself lacks the codeSigning extended key usage
//   TRUST_E_SYSTEM_ERROR          out of memory or another internal failure
// Revocation is not consulted.
#pragma once

#include <string>

#include <vexa_platform/windows.h>

namespace VexaPlatform {

// "TRUST_E_NOSIGNATURE: the file is not signed" and the like, for people.
std::string DescribeTrustStatus(LONG status);

}  // namespace VexaPlatform
