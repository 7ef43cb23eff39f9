// Set-up every program does first, in one place: intra-op threads, how
// freed memory is handled, and the clean stop on SIGTERM and SIGINT.
#pragma once

namespace lumora {

// Uses every core and keeps large freed CPU blocks for reuse (see
// BlockCache): without that, a third of a training step's CPU time went to
// the kernel faulting freed pages in again.
void prepare_process();

}  // namespace lumora
