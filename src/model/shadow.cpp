#include "model/model.h"

namespace zemb {}  // to be written
