#include "imagedata/imagedata.h"

namespace zemb {}  // to be written
