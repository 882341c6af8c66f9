// "KeyPart.img" of the first-generation boards: key V1 encrypted under a key
// derived from V3, sealed under V2.
#pragma once

#include <cstdint>

#include "common/signing_context.h"

namespace tarnel {

[[nodiscard]] bool BuildKeyPartition(SigningContext& ctx);

}  // namespace tarnel
