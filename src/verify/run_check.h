// Digests of a run's outputs for its report.
#pragma once

#include <string>

namespace tarnel::verify {

// SHA-256 of a whole file, lower-case hex; empty when it cannot be read.
[[nodiscard]] std::string FileSha256(const std::string& path);

}  // namespace tarnel::verify
