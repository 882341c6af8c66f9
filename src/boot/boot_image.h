// The signed boot image: key area, parameter area and boot area, each
// followed by its RSA signature.
#pragma once

#include <string>

#include "common/signing_context.h"

namespace tarnel {

[[nodiscard]] bool SignBootImage(SigningContext& ctx, const std::string& outputPath, const std::string& bootPath,
                                 const std::string& keyListPath, const std::string& cfgPath);

}  // namespace tarnel
