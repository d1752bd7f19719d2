// The signature embedded at the end of a signed file:
//
//   original bytes
//   || DER CMS SignedData, detached, over the original bytes, signer certificate included
//   || length of that DER block, 8 bytes, unsigned little-endian
//   || the 16 bytes "~VexaSignature~\n"
//
// The dynamic loader ignores the trailing bytes of an ELF file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace VexaPlatform {

inline constexpr char kSignatureMagic[] = "~VexaSignature~\n";
inline constexpr std::size_t kMagicSize = sizeof kSignatureMagic - 1;  // 16
inline constexpr std::size_t kTrailerSize = 8 + kMagicSize;            // length + magic

// The largest file that the trust check examines (2 GiB less one byte); a larger one is
// refused as unreadable (CRYPT_E_FILE_ERROR) without being read, and so is never copied
// into a snapshot either (file_snapshot.h).
inline constexpr std::size_t kLargestSignedFile = 0x7FFFFFFF;

struct SignatureLayout {
    enum class Kind {
        Unsigned,   // the file does not end in the magic
        Malformed,  // it does, but the length does not describe a block inside the file
        Signed,
    };
    Kind kind = Kind::Unsigned;
    std::size_t contentSize = 0;  // bytes covered by the signature (the original file)
    std::size_t blockSize = 0;    // the DER block, which starts at contentSize
};

// Reads the trailer of `size` bytes at `bytes`; never reads outside them.
SignatureLayout LocateSignature(const unsigned char* bytes, std::size_t size);

// The 24 trailer bytes for a block of `blockSize` bytes.
void WriteTrailer(std::uint64_t blockSize, unsigned char (&trailer)[kTrailerSize]);

}  // namespace VexaPlatform

namespace VexaPlatform {

// The signer writes SignedData and its SignerInfo with version 1 (a signer named
// by issuer and serial number). OpenSSL's verification ignores both version
// fields, which no signature covers; checking them here keeps any single changed
// byte of the block from passing. `block` must already be a parsed CMS block.
bool HasVersionOneSignedData(const unsigned char* block, std::size_t size);

}  // namespace VexaPlatform
