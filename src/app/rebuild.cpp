#include "app/appstate.h"

#include "platform/log.h"

namespace marlox {

void AppState::startRebuild()
{
    if (m_libraryRoot.isEmpty()) {
        qCInfo(lcAppState, "Fresh database but no library folder yet; nothing to rebuild");
        return;
    }
}

} // namespace marlox
