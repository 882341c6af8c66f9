// tarnel-cli verify and info.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/model.h"
#include "common/reporter.h"

namespace tarnel::cli {

struct VerifyArgs {
  std::string keys;
  int32_t board = -1;  // -1: not given
  std::string androidCert;
  bool json = false;
  std::vector<std::string> files;
  std::string report;  // --report: a make report whose outputs are the files
};

// Prints one line per file (or one JSON document); returns the exit status:
// 0 all verify, 1 any does not, 2 usage error.
[[nodiscard]] int RunVerify(const VerifyArgs& args);
// Prints every decoded header field of each file; 0 when every file is of a
// known kind and holds together, 1 otherwise.
[[nodiscard]] int RunInfo(int32_t board, bool json, const std::vector<std::string>& files);

}  // namespace tarnel::cli
