// Owner types for the OpenSSL objects the stand-in uses.
#pragma once

#include <cstddef>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include "interfaces/unique_resource.h"

namespace VexaPlatform {

using BioPtr = Vexa::UniqueResource<BIO*, BIO_free_all>;
using CmsPtr = Vexa::UniqueResource<CMS_ContentInfo*, CMS_ContentInfo_free>;
using X509Ptr = Vexa::UniqueResource<X509*, X509_free>;
using X509StorePtr = Vexa::UniqueResource<X509_STORE*, X509_STORE_free>;
using X509StoreCtxPtr = Vexa::UniqueResource<X509_STORE_CTX*, X509_STORE_CTX_free>;
using EvpPkeyPtr = Vexa::UniqueResource<EVP_PKEY*, EVP_PKEY_free>;

// A read-only memory BIO over `size` bytes (at most INT_MAX); empty when out of memory.
// OpenSSL takes no null pointer even for no bytes, and an empty vector may hold one.
inline BioPtr MemoryReader(const void* bytes, std::size_t size) {
    return BioPtr(BIO_new_mem_buf(size > 0 ? bytes : "", static_cast<int>(size)));
}

// A STACK_OF(X509) that owns its certificates.
inline void FreeX509Stack(STACK_OF(X509) * stack) { sk_X509_pop_free(stack, X509_free); }
using X509StackPtr = Vexa::UniqueResource<STACK_OF(X509)*, FreeX509Stack>;

}  // namespace VexaPlatform
