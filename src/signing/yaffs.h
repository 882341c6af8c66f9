// Yaffs images (pages followed by their spare bytes), sealed with a CBC-MAC per
// 1 MiB of page data in the same page-and-spare layout.
#pragma once

#include <cstdint>
#include <string>

#include "common/signing_context.h"

namespace tarnel {

[[nodiscard]] bool SealYaffsImage(SigningContext& ctx, const std::string& outputPath, const std::string& sourcePath,
                                  uint32_t pageSize, uint32_t blockSize, uint32_t spareSize);

}  // namespace tarnel
