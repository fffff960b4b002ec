#include "nonfinite.h"
