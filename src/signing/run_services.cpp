#include "signing/run_services.h"

#include "signing/signer.h"

namespace tarnel {

RunServices::~RunServices() = default;

}  // namespace tarnel
