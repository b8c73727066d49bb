// Program entry. The window layer arrives in a later step; until then the program
// only tells its version.
#include <cstdio>

#include "platform/version.h"

int main() {
  std::printf("drvkestrel %s\n", kestrel::kVersionText);
  return 0;
}
