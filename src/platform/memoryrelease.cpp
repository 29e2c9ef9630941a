#include "platform/memoryrelease.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace marlox::MemoryRelease {

void releaseFreed()
{
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

} // namespace marlox::MemoryRelease
