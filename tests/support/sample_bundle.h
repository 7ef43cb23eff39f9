// A small, valid tree bundle (three classes, 5 bands) for tests that need
// one to exist but not to predict well.
#pragma once

#include "lumora/rssp/bundle.h"

namespace lumora::testing {

Bundle sample_bundle();

}  // namespace lumora::testing
