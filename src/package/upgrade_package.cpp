// Placeholder until this signer lands.
#include "package/upgrade_package.h"

namespace tarnel {

bool MakeUpgradePackage(SigningContext&, const std::string&) { return false; }
void RunSignApk(SigningContext&) {}
bool SignUpgradePackage(SigningContext&, const std::string&, const std::string&) { return false; }
}  // namespace tarnel
