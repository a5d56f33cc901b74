#include "Korvex.h"
#include "kernel_launch.h"
