#include "lumora/core/process.h"

#include "lumora/core/stop_signal.h"
#include "lumora/core/torch_compat.h"

namespace lumora {

void prepare_process() {
  compat::use_all_cores();
  compat::keep_large_cpu_blocks();
  install_stop_handlers();
}

}  // namespace lumora
