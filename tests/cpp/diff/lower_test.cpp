#include "diff/lower.h"
