// Placeholder until these samples land.
#include "cli/demo.h"

namespace tarnel::demo {
bool WriteBootSamples(const std::string&, std::string&) { return true; }
}  // namespace tarnel::demo
