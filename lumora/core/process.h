// Set-up every program does first, in one place: intra-op threads and how
// freed memory is handled.
#pragma once

namespace lumora {

// Uses every core and keeps large freed CPU blocks for reuse (see
// BlockCache): without that, a third of a training step's CPU time went to
// the kernel faulting freed pages in again.
void prepare_process();

}  // namespace lumora
