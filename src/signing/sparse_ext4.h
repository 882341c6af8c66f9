// Ext4 sparse images of the later boards: signed per 1 MiB of expanded data
// into Output Name + "_Sign.img", with a map back to the sparse chunks.
#pragma once

#include <string>

#include "common/signing_context.h"

namespace tarnel {

[[nodiscard]] bool SignSparseExt4Image(SigningContext& ctx, const std::string& outputPath,
                                       const std::string& sourcePath);

}  // namespace tarnel
