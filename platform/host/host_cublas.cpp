#include "gpu.h"
