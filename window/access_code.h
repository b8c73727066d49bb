#pragma once

#include <cstdint>
#include <random>
#include <string>

namespace kestrel {

// The code that guards stopping reception and closing the program: five decimal
// digits, 10000 to 99998, drawn afresh at every start-up and never stored.
inline constexpr int kAccessCodeMin = 10000;
inline constexpr int kAccessCodeMax = 99998;

// Draws a code uniformly from 10000..99998 with the given generator.
int DrawAccessCode(std::mt19937& generator);

// Draws a code from a generator seeded by the system's entropy source (mixed
// with the clock, so two starts in the same second differ) and returns it as its
// five-digit text.
std::string MakeAccessCode();

}  // namespace kestrel
