#include "common/paths.h"

namespace tarnel {

bool IsSep(char c) {
#ifdef _WIN32
  return c == '\\' || c == '/';
#else
  return c == '/';
#endif
}

bool HasSep(std::string_view path) {
  for (char c : path)
    if (IsSep(c)) return true;
  return false;
}

std::string FolderPart(std::string_view path) {
  for (size_t i = path.size(); i > 0; --i)
    if (IsSep(path[i - 1])) return std::string(path.substr(0, i));
  return {};
}

std::string AfterLastSep(std::string_view path) {
  for (size_t i = path.size(); i > 0; --i)
    if (IsSep(path[i - 1])) return std::string(path.substr(i));
  return std::string(path);
}

static bool IsAnySep(char c) { return c == '\\' || c == '/'; }

std::string BareFileName(std::string_view path) {
  for (size_t i = path.size(); i > 0; --i)
    if (IsAnySep(path[i - 1])) return std::string(path.substr(i));
  return std::string(path);
}

std::string WithTrailingSep(std::string_view folder) {
  std::string out(folder);
  if (out.empty() || !IsSep(out.back())) out += kSep;
  return out;
}

}  // namespace tarnel
