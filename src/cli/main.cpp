// tarnel-cli: the command line beside the desktop program.
#include <cstdio>

int main() {
  std::fprintf(stderr, "tarnel-cli: no command yet\n");
  return 2;
}
