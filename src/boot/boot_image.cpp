// Placeholder until this signer lands.
#include "boot/boot_image.h"

namespace tarnel {

bool SignBootImage(SigningContext&, const std::string&, const std::string&, const std::string&, const std::string&) { return false; }
}  // namespace tarnel
