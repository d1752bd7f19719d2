// Owner types for the OpenSSL objects the stand-in uses.
#pragma once

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

// A STACK_OF(X509) that owns its certificates.
inline void FreeX509Stack(STACK_OF(X509) * stack) { sk_X509_pop_free(stack, X509_free); }
using X509StackPtr = Vexa::UniqueResource<STACK_OF(X509)*, FreeX509Stack>;

}  // namespace VexaPlatform
