// The flash layout a signer lays an image out for: resolved by the run from
// the row's flash entry, handed to the signers that need it.
#pragma once

#include <cstdint>
#include <string>

#include "common/text.h"

namespace tarnel {

struct FlashGeometry {
  std::string flashType;  // "Nand", "Spi", "eMMC" as the flash entry names it
  uint32_t pageSize = 0;
  uint32_t blockSize = 0;
  uint32_t spareSize = 0;  // spare bytes per page; only a NAND flash has them

  [[nodiscard]] bool IsNand() const { return EqualsNoCase(flashType, "Nand"); }
};

}  // namespace tarnel
