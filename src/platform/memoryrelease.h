#pragma once

namespace marlox::MemoryRelease {

// Hands memory the allocator keeps after frees back to the system, so a
// process that lives in the tray shrinks after a big window closes.
void releaseFreed();

} // namespace marlox::MemoryRelease
