// Placeholder until this signer lands.
#include "pipeline/key_partition.h"

namespace tarnel {

bool BuildKeyPartition(SigningContext&) { return false; }
}  // namespace tarnel
