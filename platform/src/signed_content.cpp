#include "signed_content.h"

#include <climits>
#include <new>

#include "openssl_owners.h"

namespace VexaPlatform {

bool SignsContent(CMS_ContentInfo* cms, const unsigned char* content, std::size_t size) {
    if (size > static_cast<std::size_t>(INT_MAX)) return false;
    STACK_OF(CMS_SignerInfo)* signerInfos = CMS_get0_SignerInfos(cms);
    const int signers = sk_CMS_SignerInfo_num(signerInfos);
    if (signers <= 0) return false;
    int identified = 0;
    for (int i = 0; i < signers; ++i) {
        X509* signer = nullptr;
        CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(signerInfos, i), nullptr, &signer, nullptr, nullptr);
        if (signer != nullptr) ++identified;
    }
    if (identified != signers) identified += CMS_set1_signers_certs(cms, nullptr, 0);
    if (identified != signers) return false;
    for (int i = 0; i < signers; ++i) {
        CMS_SignerInfo* signerInfo = sk_CMS_SignerInfo_value(signerInfos, i);
        if (CMS_signed_get_attr_count(signerInfo) >= 0 && CMS_SignerInfo_verify(signerInfo) != 1) return false;
    }
    // The digests of the block's algorithms, in front of a sink: the content is
    // written through them once, from where it lies.
    BioPtr sink(BIO_new(BIO_s_null()));
    if (!sink) throw std::bad_alloc();
    BioPtr chain(CMS_dataInit(cms, sink.get()));
    if (!chain) return false;
    static_cast<void>(sink.release());  // the chain ends in it and frees it
    if (size > 0 && BIO_write(chain.get(), content, static_cast<int>(size)) != static_cast<int>(size)) return false;
    for (int i = 0; i < signers; ++i)
        if (CMS_SignerInfo_verify_content(sk_CMS_SignerInfo_value(signerInfos, i), chain.get()) != 1) return false;
    return true;
}

bool SignsContentByCmsVerify(CMS_ContentInfo* cms, const unsigned char* content, std::size_t size) {
    if (size > static_cast<std::size_t>(INT_MAX)) return false;
    // A memory BIO handed to CMS_verify directly is copied into one that OpenSSL 3.0
    // leaks when the block names an unknown digest; behind a null filter the copy is
    // not made.
    BioPtr memory = MemoryReader(content, size);
    BioPtr filter(BIO_new(BIO_f_null()));
    if (!memory || !filter) throw std::bad_alloc();
    BIO_push(filter.get(), memory.release());
    return CMS_verify(cms, nullptr, nullptr, filter.get(), nullptr, CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) == 1;
}

}  // namespace VexaPlatform
