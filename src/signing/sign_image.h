// The whole-image RSA signer: the source bytes, 0xFF fill to a multiple of
// 8192, then one 8192-byte signature block.
#pragma once

#include <string>

#include "common/signing_context.h"
#include "signing/crypto.h"
#include "signing/image_headers.h"

namespace tarnel {

inline constexpr const char* kMsgOpenFileFailed = "Open file %s failed!";
inline constexpr const char* kMsgMallocSignbuffer = "Malloc Signbuffer failed!!!\n";
inline constexpr const char* kMsgOpenRsaKeyFailed = "Open RSA key file %s failed!";
inline constexpr const char* kMsgReadMpiFailed = "Failed to read mpi file!";
inline constexpr const char* kMsgMakeSignFailed = "Failed to make the sign!";
inline constexpr const char* kMsgMallocFileData = "Malloc FileData failed!!!";
// Conditions that used to pass silently; each names the file.
inline constexpr const char* kMsgCreateOutputFailed = "Failed to create the output file %s!";
inline constexpr const char* kMsgWriteOutputFailed = "Failed to write the output file %s!";
inline constexpr const char* kMsgReadSourceFailed = "Failed to read the file %s!";
inline constexpr const char* kMsgFileTooLarge = "The file %s is 4 GiB or larger and cannot be signed!";
inline constexpr const char* kMsgHashFailed = "Failed to compute the digest of %s!";

inline constexpr size_t kWholeImagePiece = 10485760;  // 10 MiB

// Opens an image to sign and takes its length: "Open file %s failed!" when it
// cannot be opened, the 4 GiB message when its length does not fit the
// headers' 32-bit fields.
[[nodiscard]] bool OpenSourceImage(SigningContext& ctx, InFile& source, const std::string& sourcePath,
                                   uint64_t& length);

[[nodiscard]] bool SignImageFile(SigningContext& ctx, const std::string& outputPath, const std::string& sourcePath);
// The same into `output`, which is left complete but not committed, for a
// signer that commits it together with another file.
[[nodiscard]] bool SignImageFileInto(SigningContext& ctx, OutFile& output, const std::string& outputPath,
                                     const std::string& sourcePath);

// Loads the signing key (key list lines 1 to 8) for a signer, showing the
// signer messages on failure ("Open RSA key file %s failed!", "Failed to read
// mpi file!", "Failed to make the sign!" when the lines do not form a key).
[[nodiscard]] PKey LoadSigningKey(SigningContext& ctx);

// Hashes and signs one range held in memory into a signature block
// (a section of a sectioned image). Shows "Failed to make the sign!" on failure.
[[nodiscard]] bool SignSection(SigningContext& ctx, EVP_PKEY* key, const Stamps& stamps, const uint8_t* data,
                               uint32_t length, const std::string& imagePath, uint32_t sectionIndex,
                               uint32_t sectionCount, SignatureBlock& block);

}  // namespace tarnel
