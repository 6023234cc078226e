// The upper tail of the chi-square distribution, from Boost.Math's
// regularized incomplete gamma function: Q(k/2, x/2). The library keeps
// every argument in double precision (no promotion to a longer type, whose
// width differs between processors) and reports its errors through errno
// and NaN rather than exceptions, which the tools are built without.
#define BOOST_MATH_DOMAIN_ERROR_POLICY errno_on_error
#define BOOST_MATH_POLE_ERROR_POLICY errno_on_error
#define BOOST_MATH_OVERFLOW_ERROR_POLICY errno_on_error
#define BOOST_MATH_EVALUATION_ERROR_POLICY errno_on_error
#define BOOST_MATH_ROUNDING_ERROR_POLICY errno_on_error
#define BOOST_MATH_PROMOTE_DOUBLE_POLICY false
#include <boost/math/special_functions/gamma.hpp>

#include "byteStats.h"

double chiSquareUpperTail(double chiSquare, int degrees) {
    return boost::math::gamma_q(double(degrees) / 2.0, chiSquare / 2.0);
}
