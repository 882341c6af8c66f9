// "KeyPart.img" of the first-generation boards: key V1 encrypted under a key
// derived from V3, sealed under V2.
#pragma once

#include <cstdint>

#include "common/signing_context.h"

namespace tarnel {

inline constexpr const char* kMsgCreateTempKeyPartFailed = "Failed to create temp key part!";
inline constexpr const char* kMsgEncryptKeyPartFailed = "Failed to encrypt key part!";
inline constexpr const char* kMsgSignKeyPartitionFailed = "Failed to sign key partition!";

inline constexpr const char* kKeyPartImageName = "KeyPart.img";

// Builds the key text, converts it to a key record, encrypts the record's key
// and seals the record into output path + "KeyPart.img" with the boot
// geometry, all in memory. Sets the image MAC key to V2 and the root key to V3. On failure
// shows its messages and sets the progress position to 0.
[[nodiscard]] bool BuildKeyPartition(SigningContext& ctx);

// Two-key Triple-DES (EDE, ECB): K = E(rootKey, derivation block), then
// output = E(K, input). K lives only inside the call. False when the cipher
// cannot be set up.
[[nodiscard]] bool EncryptKeyRecord(const Key128& rootKey, int32_t boardType, const uint8_t* input16,
                                    uint8_t* output16);

}  // namespace tarnel
