// The predict command: cascade inference from a saved tree bundle, for one
// routing mode or all three, scored on the test split.
#pragma once

namespace lumora::commands::predict {

int run(int argc, char** argv);

}  // namespace lumora::commands::predict
