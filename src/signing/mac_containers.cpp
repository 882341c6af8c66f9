// Placeholder until this signer lands.
#include "signing/mac_containers.h"

namespace tarnel {

bool ComputeCbcMac(const Key128&, const uint8_t*, size_t, uint8_t*) { return false; }
struct CbcMac::Impl {};
CbcMac::CbcMac(const Key128&) : impl_(nullptr) { (void)impl_; }
CbcMac::~CbcMac() = default;
bool CbcMac::Update(const uint8_t*, size_t) { return false; }
bool CbcMac::Final(uint8_t*) { return false; }
bool SealRawImage(SigningContext&, uint32_t, const std::string&, const std::string&, uint32_t, uint32_t) { return false; }
bool SealKeyPartition(SigningContext&, uint32_t, const std::string&, const std::string&, uint32_t, uint32_t) { return false; }
bool SealChunkedImage(SigningContext&, const std::string&, const std::string&, uint32_t, uint32_t, uint32_t) { return false; }
}  // namespace tarnel
