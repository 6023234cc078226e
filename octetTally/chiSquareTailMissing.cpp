// The upper tail of the chi-square distribution in a build made without
// Boost.Math: the same figure from the textbook series (see byteStats.h).
#include "byteStats.h"

double chiSquareUpperTail(double chiSquare, int degrees) {
    return chiSquareUpperTailBySeries(chiSquare, degrees);
}
