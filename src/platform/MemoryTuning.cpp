#include "platform/MemoryTuning.h"

#include <malloc.h>

namespace cleftone {

void tuneMemoryAllocator()
{
    // A failure only leaves the allocator as it was: slower, never wrong.
    (void)::mallopt(M_MXFAST, 0);
}

} // namespace cleftone
