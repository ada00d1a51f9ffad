#include "app/app.h"

namespace zemb {}  // to be written
