// UBI images: signed per 1 MiB slice of the unchanged file.
//
// For an output image X.img: X.img is a copy of the source, X_Sign.img holds
// one signature block per 1 MiB section followed by a whole-file signature
// block, and Temp/X_Sign.img keeps the section blocks alone.
#pragma once

#include <string>

#include "signing/run_services.h"

namespace tarnel {

[[nodiscard]] bool SignUbiImage(RunServices& ctx, const std::string& outputPath, const std::string& sourcePath);

}  // namespace tarnel
