#include "platform/bytes.h"

#include <bit>

namespace kestrel {

void PutF64(std::uint8_t* p, double v) { PutU64(p, std::bit_cast<std::uint64_t>(v)); }

double GetF64(const std::uint8_t* p) { return std::bit_cast<double>(GetU64(p)); }

}  // namespace kestrel
