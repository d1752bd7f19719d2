// Whether the signer of a detached SignedData signs a given content: the signature
// over its signed attributes, and the digest they name against the content's. The
// signer's certificate is taken from the block; its chain is judged elsewhere.
#pragma once

#include <cstddef>

#include <openssl/cms.h>

namespace VexaPlatform {

// Hashes the content where it lies, in one pass: a library file is megabytes, and
// CMS_verify would read it through a buffer of 4 KB, copying every byte once more.
// The same checks as CMS_verify with CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY, in the
// same order, through OpenSSL's own steps; `size` must not exceed INT_MAX.
bool SignsContent(CMS_ContentInfo* cms, const unsigned char* content, std::size_t size);

// The same judgement by CMS_verify itself: the reference that the tests hold
// SignsContent to.
bool SignsContentByCmsVerify(CMS_ContentInfo* cms, const unsigned char* content, std::size_t size);

}  // namespace VexaPlatform
