// The PKCS#11 back end of the Signer, kept apart so that only it sees the
// PKCS#11 headers.
#pragma once

#include <memory>
#include <string>

#include "signing/signer.h"

namespace tarnel {

[[nodiscard]] std::unique_ptr<Signer> MakePkcs11Signer(const std::string& uri, const KeyLines& lines,
                                                       PinSource pinSource);
// True when the URI gives the PIN as a pin-value.
[[nodiscard]] bool Pkcs11UriCarriesPinValue(const std::string& uri);

}  // namespace tarnel
