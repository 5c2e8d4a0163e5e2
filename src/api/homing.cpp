#include "state/runtime.h"
