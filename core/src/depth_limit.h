#pragma once

namespace quorvel {

// Deepest nesting a value may have when it enters the core. Every recursive
// walk of the core is bounded by the depth of what it was given, so this cap
// keeps the C stack safe even when the host lifts its own recursion limit.
inline constexpr int kMaxDepth = 3000;

}  // namespace quorvel
