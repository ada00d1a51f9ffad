#include "postproc/postproc.h"

namespace zemb {}  // to be written
