#include "Korvex.h"

template class Korvex<float>;
template class Korvex<double>;
