#include "window/access_code.h"

#include <chrono>

namespace kestrel {

int DrawAccessCode(std::mt19937& generator) {
  std::uniform_int_distribution<int> r(0, kAccessCodeMax - kAccessCodeMin);
  return kAccessCodeMin + r(generator);
}

std::string MakeAccessCode() {
  std::random_device entropy;
  const auto now = static_cast<std::uint64_t>(
      std::chrono::high_resolution_clock::now().time_since_epoch().count());
  std::seed_seq seed{entropy(),
                     entropy(),
                     entropy(),
                     entropy(),
                     static_cast<std::uint32_t>(now),
                     static_cast<std::uint32_t>(now >> 32)};
  std::mt19937 generator(seed);
  return std::to_string(DrawAccessCode(generator));
}

}  // namespace kestrel
