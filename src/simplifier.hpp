// The algebra: one bottom-up pass of local rewrite rules, and expansion into
// collected, ordered sums.
#pragma once

#include "ast.hpp"

namespace kalvora {

// Rewrites a tree by local rules; unchanged leaves come back as the same handle.
// Throws std::invalid_argument for a division by zero, the square root of a negative
// integer, tan(pi/2) and fractions that do not fit in 32 bits.
ExprPtr simplify(ExprPtr expr);

// Multiplies out products and non-negative integer powers of sums and collects like
// terms into a canonical sum. Throws what simplify throws.
ExprPtr expand(ExprPtr expr);

}  // namespace kalvora
