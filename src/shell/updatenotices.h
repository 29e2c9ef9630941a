#pragma once

namespace marlox {

class UpdateController;

// Tells the user what an update check found: a newer verified release with
// its release notes, "up to date" or the failure of a check they asked for.
void showUpdateNotices(UpdateController &updates);

} // namespace marlox
