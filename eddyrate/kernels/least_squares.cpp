#include "least_squares.h"

namespace eddyrate {

std::array<double, 2> leastSquaresSolve(const NumericArray&, const NumericArray&)
{
    return {0.0, 0.0};
}

double scaledNorm(std::span<const double>) noexcept { return 0.0; }

double hypotenuse(double, double) noexcept { return 0.0; }

}  // namespace eddyrate
