// Returning freed memory to the system.
#include "larkspur-core/src/base/memory.h"

#include <malloc.h>

namespace larkspur {

void return_freed_memory() { static_cast<void>(::malloc_trim(0)); }

}  // namespace larkspur
