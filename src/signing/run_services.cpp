#include "signing/run_services.h"

#include "common/paths.h"
#include "signing/signer.h"

namespace tarnel {

RunServices::~RunServices() = default;

std::string RunServices::HeaderPath(const std::string& path) const {
  return ws_.app.m_headerPaths == HeaderPaths::Name ? AfterLastSep(path) : path;
}

}  // namespace tarnel
