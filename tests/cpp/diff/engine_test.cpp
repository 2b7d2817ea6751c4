#include "diff/engine.h"
