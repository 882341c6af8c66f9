// UBI images: signed per 1 MiB slice of the unchanged file.
#pragma once

#include <string>

#include "common/signing_context.h"

namespace tarnel {

[[nodiscard]] bool SignUbiImage(SigningContext& ctx, const std::string& outputPath, const std::string& sourcePath);

}  // namespace tarnel
