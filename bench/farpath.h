#pragma once

#include <optional>

namespace horalis::bench {

// The fetch over a far path: the real DaytimeClient in a network namespace of its own,
// the servers in another, a delay line between them. Runs `trials` fetches of each case
// in each layout and prints the figures and goals. Whether the goals were met, or
// nothing when the far path could not be made here (it says why).
std::optional<bool> runFarPath(int trials);

} // namespace horalis::bench
