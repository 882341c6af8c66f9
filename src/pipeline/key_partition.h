// "KeyPart.img" of the first-generation boards: key V1 encrypted under a key
// derived from V3, sealed under V2.
#pragma once

#include <cstdint>
#include <string>

#include "common/secure.h"
#include "signing/flash_geometry.h"
#include "signing/run_services.h"

namespace tarnel {

inline constexpr const char* kKeyPartImageName = "KeyPart.img";

// Builds the key text, converts it to a key record, encrypts the record's key
// and seals the record into `outputPath` with the boot geometry, all in
// memory. Takes V2 and V3 from the key lines for itself; they are wiped when
// it returns. On failure shows its messages and sets the progress position
// to 0.
[[nodiscard]] bool BuildKeyPartition(RunServices& ctx, const FlashGeometry& boot, int32_t boardType,
                                     const std::string& outputPath);

// Two-key Triple-DES (EDE, ECB): K = E(rootKey, derivation block), then
// output = E(K, input). K lives only inside the call. False when the cipher
// cannot be set up.
[[nodiscard]] bool EncryptKeyRecord(const Key128& rootKey, int32_t boardType, const uint8_t* input16,
                                    uint8_t* output16);

}  // namespace tarnel
