// See byteStats.h. The regularized upper incomplete gamma function
// Q(a, x) with a = degrees / 2 and x = chi-square / 2, as the numerical
// textbooks compute it: below x = a + 1 by the power series of the lower
// function P = 1 - Q, above it by Q's continued fraction (Lentz's method).
// Each converges quickly on its side; both stop when a step no longer
// changes the sum in double precision.
#include <cmath>

#include "byteStats.h"

namespace {

constexpr int kMaxSteps = 10000;
constexpr double kEpsilon = 1e-17;
constexpr double kTiny = 1e-300;

double lowerSeries(double a, double x) {
    double term = 1.0 / a;
    double sum = term;
    for (int n = 1; n < kMaxSteps; ++n) {
        term = term * (x / (a + double(n)));
        sum = sum + term;
        if (term < sum * kEpsilon) break;
    }
    return sum;
}

double upperFraction(double a, double x) {
    double b = x + 1.0 - a;
    double c = 1.0 / kTiny;
    double d = 1.0 / b;
    double h = d;
    for (int i = 1; i < kMaxSteps; ++i) {
        const double an = -double(i) * (double(i) - a);
        b = b + 2.0;
        d = an * d + b;
        d = 1.0 / (std::fabs(d) < kTiny ? kTiny : d);
        c = b + an / c;
        c = std::fabs(c) < kTiny ? kTiny : c;
        h = h * (d * c);
        if (std::fabs(d * c - 1.0) < kEpsilon) break;
    }
    return h;
}

}  // namespace

double chiSquareUpperTailBySeries(double chiSquare, int degrees) {
    const double a = double(degrees) / 2.0;
    const double x = chiSquare / 2.0;
    if (!(x > 0.0)) return 1.0;
    // x^a e^-x / Gamma(a), taken through logarithms so that neither factor
    // overflows for large chi-square values.
    const double front = std::exp(a * std::log(x) - x - std::lgamma(a));
    if (x < a + 1.0) return 1.0 - front * lowerSeries(a, x);
    return front * upperFraction(a, x);
}
