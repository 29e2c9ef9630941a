#include "app/appstate.h"

#include "platform/log.h"

// PROVISIONAL: replaced by the rebuild's owner.
namespace marlox {

void AppState::startRebuild()
{
    if (m_libraryRoot.isEmpty())
        qCInfo(lcAppState, "Fresh database but no library folder yet; nothing to rebuild");
}

void AppState::reconcileLibrary()
{ }

} // namespace marlox
