#include "lumora/core/process.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "lumora/core/torch_compat.h"

namespace lumora {

void prepare_process() {
  compat::use_all_cores();
#if defined(__GLIBC__)
  // Large blocks come from the heap instead of their own mappings, and the
  // heap's freed top is never trimmed: both keep pages mapped between steps.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, -1);  // read as the largest size: never trim
#endif
}

}  // namespace lumora
