#include "signature_format.h"

#include <cstring>

namespace VexaPlatform {

SignatureLayout LocateSignature(const unsigned char* bytes, std::size_t size) {
    SignatureLayout layout;
    if (size < kMagicSize || std::memcmp(bytes + size - kMagicSize, kSignatureMagic, kMagicSize) != 0)
        return layout;
    layout.kind = SignatureLayout::Kind::Malformed;
    if (size < kTrailerSize) return layout;
    const unsigned char* length = bytes + size - kTrailerSize;
    std::uint64_t blockSize = 0;
    for (int i = 7; i >= 0; --i) blockSize = (blockSize << 8) | length[i];
    std::size_t available = size - kTrailerSize;
    if (blockSize == 0 || blockSize > available) return layout;
    layout.kind = SignatureLayout::Kind::Signed;
    layout.blockSize = static_cast<std::size_t>(blockSize);
    layout.contentSize = available - layout.blockSize;
    return layout;
}

void WriteTrailer(std::uint64_t blockSize, unsigned char (&trailer)[kTrailerSize]) {
    for (int i = 0; i < 8; ++i) trailer[i] = static_cast<unsigned char>(blockSize >> (8 * i));
    std::memcpy(trailer + 8, kSignatureMagic, kMagicSize);
}

}  // namespace VexaPlatform

namespace VexaPlatform {
namespace {

// Reads DER elements one after another from [next, end), never beyond end.
class DerReader {
public:
    DerReader(const unsigned char* begin, const unsigned char* end) : next(begin), end(end) {}

    bool AtEnd() const { return next == end; }
    // The tag of the next element, or 0 at the end.
    unsigned char PeekTag() const { return next < end ? *next : 0; }

    // Reads the next element; `inner` then reads its contents.
    bool Read(unsigned char expectedTag, DerReader& inner) {
        if (end - next < 2 || *next != expectedTag) return false;
        const unsigned char* cursor = next + 1;
        std::size_t length = *cursor++;
        if (length & 0x80) {
            std::size_t lengthBytes = length & 0x7F;
            if (lengthBytes == 0 || lengthBytes > 4 || static_cast<std::size_t>(end - cursor) < lengthBytes)
                return false;
            length = 0;
            for (std::size_t i = 0; i < lengthBytes; ++i) length = (length << 8) | *cursor++;
        }
        if (static_cast<std::size_t>(end - cursor) < length) return false;
        inner = DerReader(cursor, cursor + length);
        next = cursor + length;
        return true;
    }
    bool Skip(unsigned char expectedTag) {
        DerReader ignored(nullptr, nullptr);
        return Read(expectedTag, ignored);
    }
    // An INTEGER that holds exactly the value 1.
    bool ReadVersionOne() {
        DerReader value(nullptr, nullptr);
        return Read(0x02, value) && value.end - value.next == 1 && *value.next == 1;
    }

private:
    const unsigned char* next;
    const unsigned char* end;
};

constexpr unsigned char kSequence = 0x30, kSet = 0x31, kOid = 0x06, kContext0 = 0xA0, kContext1 = 0xA1;

}  // namespace

bool HasVersionOneSignedData(const unsigned char* block, std::size_t size) {
    DerReader top(block, block + size), contentInfo(nullptr, nullptr), explicitContent(nullptr, nullptr),
        signedData(nullptr, nullptr), signerInfos(nullptr, nullptr);
    if (!top.Read(kSequence, contentInfo) || !contentInfo.Skip(kOid) || !contentInfo.Read(kContext0, explicitContent) ||
        !explicitContent.Read(kSequence, signedData))
        return false;
    // version, digestAlgorithms, encapContentInfo, [0] certificates, [1] crls, signerInfos
    if (!signedData.ReadVersionOne() || !signedData.Skip(kSet) || !signedData.Skip(kSequence)) return false;
    if (signedData.PeekTag() == kContext0 && !signedData.Skip(kContext0)) return false;
    if (signedData.PeekTag() == kContext1 && !signedData.Skip(kContext1)) return false;
    if (!signedData.Read(kSet, signerInfos) || signerInfos.AtEnd()) return false;
    while (!signerInfos.AtEnd()) {
        DerReader signerInfo(nullptr, nullptr);
        if (!signerInfos.Read(kSequence, signerInfo) || !signerInfo.ReadVersionOne()) return false;
    }
    return true;
}

}  // namespace VexaPlatform
