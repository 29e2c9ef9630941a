#pragma once

class QThreadPool;

namespace marlox {

// Marlox's own thread pools for work that takes longer than a moment. Never
// QThreadPool::globalInstance(): Qt's raster paint engine runs its parallel
// fills there and waits for them, so a backlog of long jobs on it freezes
// every repaint. Each pool has one thread per core; threads are started on
// demand and end after a while idle.
namespace WorkPools {

// New captures: reading, decoding, recognition, hashing.
QThreadPool &capture();
// What the user is waiting for right now: the detail view's words, the
// prompt's preview, the preview window, a record's text. Kept apart so a
// burst of captures never holds them up.
QThreadPool &interactive();
// Low priority: re-recognising the library, rebuilding text after a rebuild.
QThreadPool &background();

// How many captures may be read or recognised at once; the rest wait as
// paths, holding no bitmap.
int capturesInFlight();

// Gives the calling thread less weight than the GUI thread (nice +10), once
// per thread, so a repaint or a key press gets a core at once while long
// work keeps the rest. QThread's priorities do nothing on Linux.
void yieldToInteractiveWork();

} // namespace WorkPools
} // namespace marlox
