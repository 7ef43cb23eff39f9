// Set-up every program does first, in one place: intra-op threads and how
// freed memory is handled.
#pragma once

namespace lumora {

// Uses every core and keeps freed memory for reuse: a training step
// allocates and frees hundreds of MB of temporaries, and handing large blocks
// back to the kernel makes the next step fault every page in again (a third
// of all CPU time went to the kernel that way). Costs some peak memory.
void prepare_process();

}  // namespace lumora
