#include "color/color.h"

namespace zemb {}  // to be written
