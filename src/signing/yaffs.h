// Yaffs images (pages followed by their spare bytes), sealed with a CBC-MAC per
// 1 MiB of page data in the same page-and-spare layout.
//
// Output: the source padded with 0xFF to whole raw blocks, a header page (the
// 116-byte MAC header, then 0xFF) with its spare bytes, then the MAC table
// spread over the first page-size bytes of each following page, 0xFF up to a
// whole raw block. Only a "Nand" flash has spare bytes; for any other flash
// type the pages follow each other directly and the spare size counts as 0.
#pragma once

#include <cstdint>
#include <string>

#include "common/secure.h"
#include "signing/flash_geometry.h"
#include "signing/run_services.h"

namespace tarnel {

[[nodiscard]] bool SealYaffsImage(RunServices& ctx, const FlashGeometry& geometry, const Key128& key,
                                  const std::string& outputPath, const std::string& sourcePath);

}  // namespace tarnel
