// KorvexCUDA gateway: the engines it keeps between MATLAB calls.
//
// At most one slot holds an engine after any call returns; both are empty after a request to
// clear memory and after any error. Only mexFunction writes them; tests read them.
#pragma once

#include "Korvex.h"

extern Korvex<float>* Computing_S;   // single-precision engine, null when none
extern Korvex<double>* Computing_D;  // double-precision engine, null when none
