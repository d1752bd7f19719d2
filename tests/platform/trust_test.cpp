// WinVerifyTrust over the embedded signature, and signing files.
#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <sys/stat.h>
#include <tuple>

#include <gtest/gtest.h>

#include "code_signing.h"
#include "loader/client_api_wrapper.h"
#include "loader/exceptions.h"
#include "file_io.h"
#include "platform_test_support.h"
#include "signature_format.h"
#include "text.h"

namespace fs = std::filesystem;
using namespace PlatformTest;

namespace {

class Trust : public ::testing::Test {
protected:
    void SetUp() override {
        machine.TrustDevelopmentRoot();
        files = machine.MakeDirectory("files");
        for (int i = 0; i < 3000; ++i) payload.push_back(static_cast<unsigned char>((i * 7919) >> 3));
    }

    fs::path Signed(const std::string& name, const Signer& signer = DevelopmentSigner()) {
        fs::path file = files / name;
        WriteBytes(file, payload);
        VexaPlatform::SignFile(file, signer.key, signer.cert);
        return file;
    }

    // The signer under the intermediate authority <usage>-ca (CMakeLists.txt), with
    // a certificate file that carries the authority after the signer's own.
    Signer CarryingItsAuthority(const std::string& usage) {
        Signer signer = TestSigner("signer-under-" + usage + "-ca");
        std::vector<unsigned char> chain = ReadBytes(signer.cert);
        std::vector<unsigned char> authority = ReadBytes(TestCertificate(usage + "-ca"));
        chain.insert(chain.end(), authority.begin(), authority.end());
        fs::path file = files / (usage + "-chain.pem");
        WriteBytes(file, chain);
        return {signer.key, file};
    }

    fs::path WithBytes(const std::string& name, const std::vector<unsigned char>& bytes) {
        fs::path file = files / name;
        WriteBytes(file, bytes);
        return file;
    }

    // The file's layout, which must be a signed one.
    static VexaPlatform::SignatureLayout Layout(const std::vector<unsigned char>& bytes) {
        VexaPlatform::SignatureLayout layout = VexaPlatform::LocateSignature(bytes.data(), bytes.size());
        EXPECT_EQ(layout.kind, VexaPlatform::SignatureLayout::Kind::Signed);
        return layout;
    }

    static void SetLength(std::vector<unsigned char>& bytes, std::uint64_t length) {
        std::size_t at = bytes.size() - VexaPlatform::kTrailerSize;
        for (int i = 0; i < 8; ++i) bytes[at + i] = static_cast<unsigned char>(length >> (8 * i));
    }

    VexaTest::MachineState machine;
    fs::path files;
    std::vector<unsigned char> payload;
};

}  // namespace

TEST_F(Trust, SignedFileVerifiesAndKeepsItsOriginalBytesInFront) {
    fs::path file = Signed("good.dll");
    EXPECT_EQ(VerifyTrust(file), 0);
    std::vector<unsigned char> bytes = ReadBytes(file);
    VexaPlatform::SignatureLayout layout = Layout(bytes);
    EXPECT_EQ(layout.contentSize, payload.size());
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), bytes.begin()));
    EXPECT_EQ(std::string(bytes.end() - 16, bytes.end()), "~VexaSignature~\n");
}

TEST_F(Trust, UnsignedFileHasNoSignature) {
    EXPECT_EQ(VerifyTrust(WithBytes("plain.dll", payload)), TRUST_E_NOSIGNATURE);
    EXPECT_EQ(VerifyTrust(WithBytes("empty.dll", {})), TRUST_E_NOSIGNATURE);
}

TEST_F(Trust, ChangedByteOfTheCodeIsABadDigest) {
    std::vector<unsigned char> original = ReadBytes(Signed("code.dll"));
    for (std::size_t at : {std::size_t{0}, payload.size() / 2, payload.size() - 1}) {
        std::vector<unsigned char> bytes = original;
        bytes[at] ^= 0x01;
        EXPECT_EQ(VerifyTrust(WithBytes("code.dll", bytes)), TRUST_E_BAD_DIGEST) << "byte " << at;
    }
}

TEST_F(Trust, ChangedByteOfTheSignatureValueIsABadDigest) {
    std::vector<unsigned char> bytes = ReadBytes(Signed("value.dll"));
    bytes[bytes.size() - VexaPlatform::kTrailerSize - 1] ^= 0x01;  // the block ends in the signature value
    EXPECT_EQ(VerifyTrust(WithBytes("value.dll", bytes)), TRUST_E_BAD_DIGEST);
}

// No byte of the signature block or trailer can change without the file being refused.
TEST_F(Trust, EveryChangedByteOfTheSignatureBlockAndTrailerIsRefused) {
    std::vector<unsigned char> original = ReadBytes(Signed("every.dll"));
    VexaPlatform::SignatureLayout layout = Layout(original);
    for (std::size_t at = layout.contentSize; at < original.size(); ++at) {
        // 0x20 turns the case of a letter and the constructed bit of a tag.
        for (unsigned char flip : {0x01, 0x20, 0x80, 0xff}) {
            std::vector<unsigned char> bytes = original;
            bytes[at] ^= flip;
            LONG status = VerifyTrust(WithBytes("every.dll", bytes));
            ASSERT_NE(status, 0) << "byte " << at - layout.contentSize << " of the block, flipped by " << int(flip);
            if (at >= original.size() - VexaPlatform::kMagicSize) {
                EXPECT_EQ(status, TRUST_E_NOSIGNATURE);
            }
        }
    }
}

// The signer identifier (issuer name and serial number of the signer's certificate) is
// covered by no signature; it must name the certificate byte for byte, not merely match
// it in a form that ignores the case of the name.
TEST_F(Trust, SignerIdentifierThatNamesTheIssuerInAnotherCaseIsRefused) {
    std::vector<unsigned char> bytes = ReadBytes(Signed("identifier.dll"));
    VexaPlatform::SignatureLayout layout = Layout(bytes);
    const std::string issuer = "Vexa Development Root";
    // The identifier follows the certificates, so its issuer name is the last one.
    auto blockBegin = bytes.begin() + static_cast<std::ptrdiff_t>(layout.contentSize);
    auto found = std::find_end(blockBegin, bytes.end(), issuer.begin(), issuer.end());
    ASSERT_NE(found, bytes.end());
    ASSERT_NE(std::search(blockBegin, found, issuer.begin(), issuer.end()), found) << "the certificate's own issuer name comes first";
    found[5] = 'd';  // "Vexa development Root"
    EXPECT_EQ(VerifyTrust(WithBytes("identifier.dll", bytes)), TRUST_E_NO_SIGNER_CERT);
}

TEST_F(Trust, SignerThatDoesNotChainToATrustedRootIsRefused) {
    fs::path file = Signed("untrusted.dll", TestSigner("untrusted-signer"));
    EXPECT_EQ(VerifyTrust(file), CERT_E_UNTRUSTEDROOT);
    // The trusted roots are read afresh: trusting its root makes it verify.
    machine.TrustRoot(TestCertificate("other-root"));
    EXPECT_EQ(VerifyTrust(file), 0);
}

TEST_F(Trust, NoTrustedRootsTrustsNothing) {
    fs::path file = Signed("good.dll");
    fs::remove_all(machine.Root() / "trust");
    EXPECT_EQ(VerifyTrust(file), CERT_E_UNTRUSTEDROOT);
    fs::create_directory(machine.Root() / "trust");
    WriteBytes(machine.Root() / "trust" / "notes.txt", {'h', 'i'});
    EXPECT_EQ(VerifyTrust(file), CERT_E_UNTRUSTEDROOT);
}

// One file of trust/ rewritten in place, back and forth: every verification goes by
// what the file holds at that moment, though the roots are decoded once per content.
TEST_F(Trust, ARootFileRewrittenInPlaceCountsAsItIsNow) {
    const fs::path file = Signed("good.dll");
    const fs::path other = Signed("other.dll", TestSigner("untrusted-signer"));
    const fs::path root = machine.Root() / "trust" / "root.pem";
    for (const fs::directory_entry& entry : fs::directory_iterator(machine.Root() / "trust")) fs::remove(entry.path());
    const std::vector<unsigned char> development = ReadBytes(VexaTest::DevelopmentRootCertificate());
    const std::vector<unsigned char> otherRoot = ReadBytes(TestCertificate("other-root"));
    std::vector<unsigned char> both = development;
    both.insert(both.end(), otherRoot.begin(), otherRoot.end());
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        WriteBytes(root, development);
        EXPECT_EQ(VerifyTrust(file), 0);
        EXPECT_EQ(VerifyTrust(other), CERT_E_UNTRUSTEDROOT);
        WriteBytes(root, otherRoot);
        EXPECT_EQ(VerifyTrust(file), CERT_E_UNTRUSTEDROOT);
        EXPECT_EQ(VerifyTrust(other), 0);
        WriteBytes(root, both);
        EXPECT_EQ(VerifyTrust(file), 0);
        EXPECT_EQ(VerifyTrust(other), 0);
        WriteBytes(root, {});
        EXPECT_EQ(VerifyTrust(file), CERT_E_UNTRUSTEDROOT);
    }
}

TEST_F(Trust, SignerWithoutCodeSigningUsageIsRefused) {
    EXPECT_EQ(VerifyTrust(Signed("server.dll", TestSigner("server-signer"))), CERT_E_WRONG_USAGE);
    EXPECT_EQ(VerifyTrust(Signed("no-usage.dll", TestSigner("no-usage-signer"))), CERT_E_WRONG_USAGE);
}

// ---- the usage an authority allows ----

namespace {

// Where the authority stands in the chain built for the signer.
enum class AuthorityPosition {
    IntermediateInTheSignature,  // under the development root, carried in the block
    IntermediateTrusted,         // under the development root, trusted itself too
    Root,                        // a root of its own in trust/
};

struct AuthorityUsage {
    const char* name;  // as in CMakeLists.txt: <name>-ca, <name>-root and their signers
    LONG expected;
};

const AuthorityUsage kAuthorityUsages[] = {
    {"server-auth", CERT_E_WRONG_USAGE},
    {"code-signing", 0},
    {"any-usage", 0},
    {"server-and-code-signing", 0},
    {"no-usage", 0},
};

void PrintTo(const AuthorityUsage& usage, std::ostream* out) { *out << usage.name; }

const char* PositionName(AuthorityPosition position) {
    switch (position) {
        case AuthorityPosition::IntermediateInTheSignature: return "IntermediateInTheSignature";
        case AuthorityPosition::IntermediateTrusted: return "IntermediateTrusted";
        case AuthorityPosition::Root: return "Root";
    }
    return "?";
}

void PrintTo(AuthorityPosition position, std::ostream* out) { *out << PositionName(position); }

class TrustAuthorityUsage : public Trust,
                            public ::testing::WithParamInterface<std::tuple<AuthorityPosition, AuthorityUsage>> {
protected:
    // The signer under the authority of the parameters, with its trust set up.
    Signer SignerUnderAuthority() {
        const auto& [position, usage] = GetParam();
        std::string name = usage.name;
        if (position == AuthorityPosition::Root) {
            machine.TrustRoot(TestCertificate(name + "-root"));
            return TestSigner("signer-under-" + name + "-root");
        }
        if (position == AuthorityPosition::IntermediateInTheSignature) return CarryingItsAuthority(name);
        machine.TrustRoot(TestCertificate(name + "-ca"));
        return TestSigner("signer-under-" + name + "-ca");
    }
};

}  // namespace

// An authority whose extended key usage allows neither codeSigning nor any usage
// keeps everything under it from signing code, wherever it stands above the
// signer; one without the extension restricts nothing.
TEST_P(TrustAuthorityUsage, DecidesWhetherItsSignersMaySignCode) {
    EXPECT_EQ(VerifyTrust(Signed("library.dll", SignerUnderAuthority())), std::get<1>(GetParam()).expected);
}

INSTANTIATE_TEST_SUITE_P(
    EveryPosition, TrustAuthorityUsage,
    ::testing::Combine(::testing::Values(AuthorityPosition::IntermediateInTheSignature,
                                         AuthorityPosition::IntermediateTrusted, AuthorityPosition::Root),
                       ::testing::ValuesIn(kAuthorityUsages)),
    [](const ::testing::TestParamInfo<std::tuple<AuthorityPosition, AuthorityUsage>>& info) {
        std::string usage = std::get<1>(info.param).name;
        std::replace(usage.begin(), usage.end(), '-', '_');
        return std::string(PositionName(std::get<0>(info.param))) + "_" + usage;
    });

// The loader refuses a library signed under such an authority as it refuses any
// library that fails the trust check; under an authority that allows code signing
// the same library passes the check and is loaded (and then lacks the exports).
TEST_F(Trust, LoaderRefusesALibrarySignedUnderAnAuthorityThatMayNotSignCode) {
    fs::path installDir = machine.MakeDirectory("framework");
    machine.PublishFramework(installDir);
    fs::path library = VexaTest::MachineState::Stage(PLATFORM_TEST_LIBRARY, installDir, "Tessaly.dll");
    const std::pair<const char*, const char*> cases[] = {
        {"server-auth", "Failed to load library: Tessaly.dll : 42 : Invalid Digital Signature"},
        {"code-signing", "Failed to load library: Tessaly.dll : 6 : Symbol Not Found"},
    };
    for (const auto& [usage, message] : cases) {
        Signer signer = CarryingItsAuthority(usage);
        VexaPlatform::SignFile(library, signer.key, signer.cert);
        try {
            Vexa::ClientApi api;
            ADD_FAILURE() << usage << ": constructed, expected: " << message;
        } catch (const Vexa::FrameworkException& e) {
            EXPECT_EQ(std::string(e.what()), message) << usage;
            EXPECT_EQ(e.code, 100) << usage;
        }
    }
}

TEST_F(Trust, IntermediateThatIsNeitherCarriedNorTrustedLeavesTheSignerUntrusted) {
    EXPECT_EQ(VerifyTrust(Signed("library.dll", TestSigner("signer-under-code-signing-ca"))), CERT_E_UNTRUSTEDROOT);
}

TEST_F(Trust, ExpiredSignerIsRefused) {
    EXPECT_EQ(VerifyTrust(Signed("expired.dll", TestSigner("expired-signer"))), CERT_E_EXPIRED);
}

TEST_F(Trust, ChainThroughACertificateThatIsNoCaIsRefused) {
    machine.TrustRoot(TestCertificate("not-a-ca"));
    EXPECT_EQ(VerifyTrust(Signed("bad-chain.dll", TestSigner("signer-under-not-a-ca"))), CERT_E_CHAINING);
}

TEST_F(Trust, MalformedTrailersAreRefusedAsBadEncoding) {
    std::vector<unsigned char> original = ReadBytes(Signed("malformed.dll"));
    VexaPlatform::SignatureLayout layout = Layout(original);

    std::vector<unsigned char> beyond = original;
    SetLength(beyond, original.size());
    EXPECT_EQ(VerifyTrust(WithBytes("beyond.dll", beyond)), CRYPT_E_BAD_ENCODE);
    SetLength(beyond, UINT64_MAX);
    EXPECT_EQ(VerifyTrust(WithBytes("beyond.dll", beyond)), CRYPT_E_BAD_ENCODE);

    std::vector<unsigned char> zero = original;
    SetLength(zero, 0);
    EXPECT_EQ(VerifyTrust(WithBytes("zero.dll", zero)), CRYPT_E_BAD_ENCODE);

    // The last 20 bytes of the block cut away, the length adjusted to what is left.
    std::vector<unsigned char> truncated(original.begin(), original.begin() + layout.contentSize + layout.blockSize - 20);
    truncated.insert(truncated.end(), original.end() - VexaPlatform::kTrailerSize, original.end());
    SetLength(truncated, layout.blockSize - 20);
    EXPECT_EQ(VerifyTrust(WithBytes("truncated.dll", truncated)), CRYPT_E_BAD_ENCODE);

    // A length one byte longer: the block now starts one byte early.
    std::vector<unsigned char> longer = original;
    SetLength(longer, layout.blockSize + 1);
    EXPECT_EQ(VerifyTrust(WithBytes("longer.dll", longer)), CRYPT_E_BAD_ENCODE);

    std::vector<unsigned char> garbage = payload;
    for (int i = 0; i < 300; ++i) garbage.push_back(static_cast<unsigned char>(i * 37));
    garbage.resize(garbage.size() + VexaPlatform::kTrailerSize);
    std::copy(original.end() - VexaPlatform::kMagicSize, original.end(), garbage.end() - VexaPlatform::kMagicSize);
    SetLength(garbage, 300);
    EXPECT_EQ(VerifyTrust(WithBytes("garbage.dll", garbage)), CRYPT_E_BAD_ENCODE);

    std::vector<unsigned char> magicOnly(original.end() - VexaPlatform::kMagicSize, original.end());
    EXPECT_EQ(VerifyTrust(WithBytes("magic.dll", magicOnly)), CRYPT_E_BAD_ENCODE);
}

// Random blocks and lengths behind the magic never verify and never crash
// (the asan build checks that nothing is read outside the file).
TEST_F(Trust, RandomTrailersAreRefused) {
    std::mt19937 random(20261208);
    std::vector<unsigned char> signedBytes = ReadBytes(Signed("seed.dll"));
    for (int round = 0; round < 300; ++round) {
        std::vector<unsigned char> bytes(random() % 600);
        for (unsigned char& b : bytes) b = static_cast<unsigned char>(random());
        if (round % 3 == 0 && bytes.size() > 40) {
            // A real block with random damage is more interesting than pure noise.
            bytes.assign(signedBytes.begin() + static_cast<std::ptrdiff_t>(payload.size()),
                         signedBytes.end() - VexaPlatform::kTrailerSize);
            bytes[random() % bytes.size()] = static_cast<unsigned char>(random());
            bytes.resize(bytes.size() - random() % 8);
        }
        std::uint64_t length = (round % 2 == 0) ? bytes.size() : random() % 1000;
        unsigned char trailer[VexaPlatform::kTrailerSize];
        VexaPlatform::WriteTrailer(length, trailer);
        bytes.insert(bytes.end(), trailer, trailer + sizeof trailer);
        EXPECT_NE(VerifyTrust(WithBytes("random.dll", bytes)), 0) << "round " << round;
    }
}

TEST_F(Trust, UnreadableFileIsAFileError) {
    EXPECT_EQ(VerifyTrust(files / "missing.dll"), CRYPT_E_FILE_ERROR);
    EXPECT_EQ(VerifyTrust(files), CRYPT_E_FILE_ERROR);
}

TEST_F(Trust, NonAsciiPathIsFoundThroughTheWidePath) {
    fs::path file = Signed("bibliothèque.dll");
    std::optional<std::wstring> wide = VexaPlatform::WideFromUtf8(file.string());
    ASSERT_TRUE(wide);
    EXPECT_EQ(VerifyTrust(*wide), 0);
}

// ---- the call itself ----

namespace {

struct TrustCall {
    WINTRUST_FILE_INFO file{};
    WINTRUST_DATA data{};
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    std::wstring path;

    explicit TrustCall(const fs::path& target) : path(target.wstring()) {
        file.cbStruct = sizeof file;
        file.pcwszFilePath = path.c_str();
        data.cbStruct = sizeof data;
        data.dwUIChoice = WTD_UI_NONE;
        data.dwUnionChoice = WTD_CHOICE_FILE;
        data.pFile = &file;
        data.dwStateAction = WTD_STATEACTION_VERIFY;
    }
    LONG Call() { return WinVerifyTrust(nullptr, &action, &data); }
    LONG Close() {
        data.dwStateAction = WTD_STATEACTION_CLOSE;
        return Call();
    }
};

}  // namespace

TEST_F(Trust, VerifyLeavesStateThatCloseReleases) {
    for (const fs::path& file : {Signed("good.dll"), WithBytes("plain.dll", payload)}) {
        TrustCall call(file);
        call.Call();
        EXPECT_NE(call.data.hWVTStateData, nullptr) << "also after a refusal";
        EXPECT_EQ(call.Close(), 0);
        EXPECT_EQ(call.data.hWVTStateData, nullptr);
    }
    TrustCall ignore(Signed("good.dll"));
    ignore.data.dwStateAction = WTD_STATEACTION_IGNORE;
    EXPECT_EQ(ignore.Call(), 0);
    EXPECT_EQ(ignore.data.hWVTStateData, nullptr);
}

TEST_F(Trust, BadArgumentsAreRefused) {
    fs::path good = Signed("good.dll");
    TrustCall call(good);
    EXPECT_EQ(WinVerifyTrust(nullptr, nullptr, &call.data), E_INVALIDARG);
    EXPECT_EQ(WinVerifyTrust(nullptr, &call.action, nullptr), E_INVALIDARG);

    TrustCall unknownAction(good);
    unknownAction.action.Data1 ^= 1;
    EXPECT_EQ(unknownAction.Call(), TRUST_E_ACTION_UNKNOWN);

    TrustCall small(good);
    small.data.cbStruct = 16;
    EXPECT_EQ(small.Call(), E_INVALIDARG);

    TrustCall catalog(good);
    catalog.data.dwUnionChoice = 2;
    EXPECT_EQ(catalog.Call(), TRUST_E_SUBJECT_FORM_UNKNOWN);

    TrustCall noFile(good);
    noFile.data.pFile = nullptr;
    EXPECT_EQ(noFile.Call(), E_INVALIDARG);

    TrustCall noPath(good);
    noPath.file.pcwszFilePath = nullptr;
    EXPECT_EQ(noPath.Call(), E_INVALIDARG);

    TrustCall notUnicode(good);
    notUnicode.path = L"/tmp/\xD800.dll";
    notUnicode.file.pcwszFilePath = notUnicode.path.c_str();
    EXPECT_EQ(notUnicode.Call(), E_INVALIDARG);

    TrustCall unknownState(good);
    unknownState.data.dwStateAction = 9;
    EXPECT_EQ(unknownState.Call(), E_INVALIDARG);
    EXPECT_EQ(unknownState.data.hWVTStateData, nullptr);
}

// ---- signing ----

TEST_F(Trust, ResigningReplacesTheSignature) {
    fs::path file = Signed("twice.dll");
    std::size_t onceSize = fs::file_size(file);
    VexaPlatform::SignFile(file, DevelopmentSigner().key, DevelopmentSigner().cert);
    EXPECT_EQ(VerifyTrust(file), 0);
    EXPECT_NEAR(static_cast<double>(fs::file_size(file)), static_cast<double>(onceSize), 4.0);
    EXPECT_EQ(Layout(ReadBytes(file)).contentSize, payload.size());

    Signer other = TestSigner("untrusted-signer");
    VexaPlatform::SignFile(file, other.key, other.cert);
    EXPECT_EQ(VerifyTrust(file), CERT_E_UNTRUSTEDROOT) << "the new signer's signature is the one checked";
}

TEST_F(Trust, SigningKeepsTheModeAndFollowsSymbolicLinks) {
    fs::path file = WithBytes("mode.dll", payload);
    ASSERT_EQ(::chmod(file.c_str(), 0750), 0);
    fs::create_symlink(file, files / "link.dll");
    VexaPlatform::SignFile(files / "link.dll", DevelopmentSigner().key, DevelopmentSigner().cert);
    EXPECT_TRUE(fs::is_symlink(files / "link.dll"));
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0750u);
    EXPECT_EQ(VerifyTrust(file), 0);
}

TEST_F(Trust, SigningFailuresLeaveTheFileAsItWas) {
    std::vector<unsigned char> damaged = ReadBytes(Signed("damaged.dll"));
    SetLength(damaged, damaged.size() * 2);
    fs::path file = WithBytes("damaged.dll", damaged);
    Signer signer = DevelopmentSigner();
    EXPECT_THROW(VexaPlatform::SignFile(file, signer.key, signer.cert), VexaPlatform::SigningError);
    EXPECT_EQ(ReadBytes(file), damaged);

    fs::path plain = WithBytes("plain.dll", payload);
    Signer mismatched{TestSigner("server-signer").key, signer.cert};
    EXPECT_THROW(VexaPlatform::SignFile(plain, mismatched.key, mismatched.cert), VexaPlatform::SigningError);
    EXPECT_THROW(VexaPlatform::SignFile(plain, files / "no-key.pem", signer.cert), VexaPlatform::SigningError);
    EXPECT_THROW(VexaPlatform::SignFile(files / "missing.dll", signer.key, signer.cert), VexaPlatform::SigningError);
    EXPECT_EQ(ReadBytes(plain), payload);
    for (const fs::directory_entry& entry : fs::directory_iterator(files))
        EXPECT_EQ(entry.path().filename().string().find(".dll."), std::string::npos) << "temporary file left behind";
}
