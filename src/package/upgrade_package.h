// The upgrade archive: template + upgrade images, signed by signapk under
// Java, then sealed for the board as "update.zip".
#pragma once

#include <string>

#include "common/signing_context.h"

namespace tarnel {

[[nodiscard]] bool MakeUpgradePackage(SigningContext& ctx, const std::string& packagePath);
void RunSignApk(SigningContext& ctx);
[[nodiscard]] bool SignUpgradePackage(SigningContext& ctx, const std::string& outputPath,
                                      const std::string& sourcePath);

}  // namespace tarnel
