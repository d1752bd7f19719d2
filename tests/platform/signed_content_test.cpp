// The one-pass check of a signer against its content, held to CMS_verify: both routes
// must give the same answer for every block and content, changed or not.
#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include "code_signing.h"
#include "openssl_owners.h"
#include "platform_test_support.h"
#include "signature_format.h"
#include "signed_content.h"

using namespace PlatformTest;
using VexaPlatform::BioPtr;
using VexaPlatform::CmsPtr;

namespace {

struct Block {
    std::vector<unsigned char> content;
    std::vector<unsigned char> der;
};

std::vector<unsigned char> Content(std::size_t size) {
    std::vector<unsigned char> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>((i * 7919) >> 3);
    return bytes;
}

// As the signing tool writes it: signed attributes, the digest named among them.
Block WithSignedAttributes(std::size_t size) {
    Block block{Content(size), {}};
    const Signer signer = DevelopmentSigner();
    std::vector<unsigned char> file = VexaPlatform::SignContent(block.content, signer.key, signer.cert);
    const VexaPlatform::SignatureLayout layout = VexaPlatform::LocateSignature(file.data(), file.size());
    block.der.assign(file.begin() + static_cast<std::ptrdiff_t>(layout.contentSize),
                     file.begin() + static_cast<std::ptrdiff_t>(layout.contentSize + layout.blockSize));
    return block;
}

// A signature straight over the content's digest, with no attributes.
Block WithoutSignedAttributes(std::size_t size) {
    Block block{Content(size), {}};
    const Signer signer = DevelopmentSigner();
    BioPtr keyFile(BIO_new_file(signer.key.c_str(), "r"));
    BioPtr certFile(BIO_new_file(signer.cert.c_str(), "r"));
    VexaPlatform::EvpPkeyPtr key(PEM_read_bio_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr));
    VexaPlatform::X509Ptr cert(PEM_read_bio_X509(certFile.get(), nullptr, nullptr, nullptr));
    BioPtr data(BIO_new_mem_buf(block.content.data(), static_cast<int>(block.content.size())));
    CmsPtr cms(CMS_sign(cert.get(), key.get(), nullptr, data.get(), CMS_DETACHED | CMS_BINARY | CMS_NOATTR));
    EXPECT_TRUE(cms);
    unsigned char* der = nullptr;
    const int length = i2d_CMS_ContentInfo(cms.get(), &der);
    EXPECT_GT(length, 0);
    block.der.assign(der, der + length);
    OPENSSL_free(der);
    return block;
}

CmsPtr Parse(const std::vector<unsigned char>& der) {
    const unsigned char* cursor = der.data();
    return CmsPtr(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size())));
}

struct Tally {
    int compared = 0;
    int accepted = 0;
};

// Both routes on their own parse of the same block; false when the block does not parse.
void ExpectSameVerdict(const std::vector<unsigned char>& der, const std::vector<unsigned char>& content,
                       const std::string& what, Tally& tally) {
    CmsPtr fast = Parse(der);
    CmsPtr reference = Parse(der);
    if (!fast || !reference) {
        ERR_clear_error();
        return;
    }
    const bool fastVerdict = VexaPlatform::SignsContent(fast.get(), content.data(), content.size());
    const bool referenceVerdict =
        VexaPlatform::SignsContentByCmsVerify(reference.get(), content.data(), content.size());
    ERR_clear_error();
    EXPECT_EQ(fastVerdict, referenceVerdict) << what;
    ++tally.compared;
    tally.accepted += referenceVerdict ? 1 : 0;
}

struct Kind {
    const char* name;
    Block (*make)(std::size_t);
    std::size_t size;
};

class SignedContentRoutes : public ::testing::TestWithParam<Kind> {};

}  // namespace

TEST_P(SignedContentRoutes, AgreeOnEveryChangedByteOfTheBlockAndOnChangedContent) {
    VexaTest::MachineState machine;
    const Block block = GetParam().make(GetParam().size);
    Tally tally;
    ExpectSameVerdict(block.der, block.content, "the block as signed", tally);
    ASSERT_EQ(tally.accepted, 1) << "the unchanged block must verify";

    for (std::size_t at = 0; at < block.der.size(); ++at) {
        for (unsigned char flip : {0x01, 0x80}) {
            std::vector<unsigned char> der = block.der;
            der[at] ^= flip;
            ExpectSameVerdict(der, block.content, "block byte " + std::to_string(at) + " ^ " + std::to_string(flip),
                              tally);
        }
    }
    for (std::size_t at = 0; at < block.content.size(); at += 97) {
        std::vector<unsigned char> content = block.content;
        content[at] ^= 0x04;
        ExpectSameVerdict(block.der, content, "content byte " + std::to_string(at), tally);
    }
    std::vector<unsigned char> longer = block.content;
    longer.push_back(0);
    ExpectSameVerdict(block.der, longer, "one byte more of content", tally);
    if (!block.content.empty()) {
        std::vector<unsigned char> shorter(block.content.begin(), block.content.end() - 1);
        ExpectSameVerdict(block.der, shorter, "one byte less of content", tally);
    }
    // Most changed blocks still parse, and a few changes (in parts no check reads) are
    // accepted by both routes: the sweep compares verdicts of both kinds.
    EXPECT_GT(tally.compared, static_cast<int>(block.der.size()));
    EXPECT_GT(tally.accepted, 1);
}

INSTANTIATE_TEST_SUITE_P(Blocks, SignedContentRoutes,
                         ::testing::Values(Kind{"SignedAttributes", WithSignedAttributes, 3000},
                                           Kind{"SignedAttributesEmptyContent", WithSignedAttributes, 0},
                                           Kind{"NoAttributes", WithoutSignedAttributes, 3000}),
                         [](const ::testing::TestParamInfo<Kind>& info) { return info.param.name; });
