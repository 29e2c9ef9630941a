#include <QListWidget>
#include <QStackedWidget>

#include "app/appstate.h"
#include "library/duplicatesview.h"
#include "library/librarywindow.h"

namespace marlox {

QWidget *LibraryWindow::withDuplicatesPane(QWidget *main)
{
    m_mainStack = new QStackedWidget(this);
    m_mainStack->addWidget(main);
    m_duplicates
        = new DuplicatesView(m_appState ? &m_appState->duplicateActions() : nullptr, m_mainStack);
    m_mainStack->addWidget(m_duplicates);
    connect(m_duplicates, &DuplicatesView::openRequested, this,
        [this](const ScreenshotRecord &record) { openRecord(record); });
    connect(m_duplicates, &DuplicatesView::menuRequested, this,
        [this](const ScreenshotRecord &record, const QPoint &globalPos) {
            showRecordMenu(record, globalPos);
        });
    return m_mainStack;
}

void LibraryWindow::showDuplicates(bool show)
{
    if (m_showingDuplicates == show)
        return;
    m_showingDuplicates = show;
    m_mainStack->setCurrentWidget(
        show ? static_cast<QWidget *>(m_duplicates) : m_mainStack->widget(0));
    m_rebuildingSidebar = true;
    for (int row = 0; row < m_sidebar->count(); ++row) {
        if (isCurrentInSidebar(m_sidebar->item(row)))
            m_sidebar->setCurrentItem(m_sidebar->item(row));
    }
    m_rebuildingSidebar = false;
}

bool LibraryWindow::isCurrentInSidebar(const QListWidgetItem *item) const
{
    const int kind = item->data(sectionRole).toInt();
    if (kind < 0)
        return false;
    if (kind == 3)
        return m_showingDuplicates;
    return !m_showingDuplicates && sectionOf(item) == m_selection;
}

} // namespace marlox
