#include "app/appstate.h"

// PROVISIONAL: replaced by the prompt decisions' owner.
namespace marlox {

void AppState::appendToPromptQueue(PromptQueue::Item item)
{
    m_promptQueue.items.append(std::move(item));
}
void AppState::showNextPrompt()
{ }
std::optional<QString> AppState::savePrompt(
    const ScreenshotRecord &, const QString &, const QString &)
{
    return QStringLiteral("Internal error");
}
void AppState::skipPrompt(const ScreenshotRecord &, const std::optional<QString> &)
{ }
void AppState::discardPrompt(const ScreenshotRecord &)
{ }
void AppState::enqueueForPrompt(const ScreenshotRecord &)
{ }
void AppState::trashRecord(const ScreenshotRecord &, const QRect &)
{ }
void AppState::undoDiscard()
{ }
void AppState::deleteRecord(const ScreenshotRecord &, const std::optional<QRect> &)
{ }
bool AppState::deleteFromDetail(const ScreenshotRecord &)
{
    return false;
}
QString AppState::errorText(const std::exception &error)
{
    return describe(error);
}
void AppState::reopenPrompt()
{ }
void AppState::dismissUndo()
{ }
bool AppState::trashFailureAlert(const ScreenshotRecord &, const std::exception &)
{
    return false;
}

} // namespace marlox
