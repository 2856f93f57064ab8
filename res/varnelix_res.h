// The Varnelix program's resources.
#pragma once

#include "framework/resources.h"

namespace vx::res {
const Module& VarnelixResources();
}
