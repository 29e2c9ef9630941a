#pragma once

#include <atomic>
#include <memory>
#include <optional>

#include <QDate>
#include <QDialog>
#include <QList>
#include <QMenu>
#include <QPointer>
#include <QThreadPool>
#include <QWidget>

#include "library/librarysorting.h"
#include "storage/librarysection.h"
#include "storage/screenshotrecord.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QStackedWidget;

namespace marlox {

class AppState;
class DuplicatesView;
class LibraryGridView;
class LibrarySearchField;
class PreviewWindow;

// The window where users browse, search and manage their screenshots: the
// sections and folders on the left, the search field, the sort menu and the
// thumbnail grid on the right. Owns only view state; everything it changes
// goes through the coordinator.
class LibraryWindow : public QWidget
{
    Q_OBJECT

public:
    explicit LibraryWindow(AppState *appState, QWidget *parent = nullptr);
    ~LibraryWindow() override;

    LibrarySection selection() const { return m_selection; }
    void setSelection(const LibrarySection &section);
    LibrarySortOrder sortOrder() const { return m_sortOrder; }
    void setSortOrder(LibrarySortOrder order);
    QString query() const;
    std::optional<ScreenshotRecord> selectedRecord() const { return m_selectedRecord; }
    // The record whose detail window is open.
    std::optional<ScreenshotRecord> presentedRecord() const { return m_presentedRecord; }
    QObject *detailWindowController() const { return m_detail; }
    void selectRecord(const std::optional<ScreenshotRecord> &record);
    const std::optional<QList<SearchResult>> &searchResults() const { return m_searchResults; }
    // Guesses shown below few exact results, in their own marked block.
    const QList<SearchResult> &similarResults() const { return m_similarResults; }
    static QString similarHeader() { return QStringLiteral("Similar matches"); }

    LibraryGridView *grid() const { return m_grid; }
    QListWidget *sidebar() const { return m_sidebar; }
    // The Duplicates section, in place of the search and the grid while chosen.
    DuplicatesView *duplicatesView() const { return m_duplicates; }
    bool isShowingDuplicates() const { return m_showingDuplicates; }
    void showDuplicates(bool show);
    QLabel *emptyStateLabel() const { return m_emptyState; }
    PreviewWindow *previewWindow() const { return m_preview; }
    // The dialog currently asking for a name, if any.
    QDialog *activeDialog() const { return m_dialog; }

    // The context menus, built but not shown; none for "General".
    QMenu *folderMenu(const QString &name);
    QMenu *recordMenu(const ScreenshotRecord &record);

    // The actions behind menus and keys.
    void moveSelection(LibrarySorting::Move move);
    void openRecord(const ScreenshotRecord &record);
    void previewRecord(const ScreenshotRecord &record);
    void trashSelected();
    void closeDetail();
    void beginNewFolder();
    void beginRenameFolder(const QString &name);
    void deleteFolderAsked(const QString &name);
    void beginRenameRecord(const ScreenshotRecord &record);
    void moveRecord(const ScreenshotRecord &record, const QString &folder);

Q_SIGNALS:
    // The grid was rebuilt from the record list, a section, an order or a search.
    void listingChanged();
    // The results of the newest query arrived and are shown.
    void searchApplied();

protected:
    void showEvent(QShowEvent *event) override;
    // Image files dropped on a folder of the sidebar are filed there as copies.
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    // What a sidebar item stands for: 0 all, 1 inbox, 2 folder, 3 duplicates, -1 heading.
    static constexpr int sectionRole = Qt::UserRole + 1;
    static constexpr int folderRole = Qt::UserRole + 2;
    static LibrarySection sectionOf(const QListWidgetItem *item);

    void buildUi();
    // Wraps the search and grid pane in a stack with the Duplicates section.
    QWidget *withDuplicatesPane(QWidget *main);
    bool isCurrentInSidebar(const QListWidgetItem *item) const;
    void rebuildSidebar();
    void refreshListing();
    // One record changed: the grid and the sidebar follow without a full listing.
    void onRecordReplaced(const std::optional<ScreenshotRecord> &before,
        const std::optional<ScreenshotRecord> &after);
    QString inboxLabel() const;
    void runSearch();
    void onSidebarItemChanged(QListWidgetItem *item);
    void showFolderMenu(const QPoint &pos);
    void showRecordMenu(const ScreenshotRecord &record, const QPoint &globalPos);
    void updateHeader(std::optional<int> matches = std::nullopt);
    QDialog *makeNameDialog(const QString &title, const QString &field, const QString &text,
        const QString &acceptLabel, std::function<void(const QString &)> onAccept);
    QRect windowFrame() const;
    void setDropFolder(const QString &folder);

    QPointer<AppState> m_appState;

    // View state
    LibrarySection m_selection;
    LibrarySortOrder m_sortOrder = LibrarySortOrder::dateNewest;
    std::optional<ScreenshotRecord> m_selectedRecord;
    std::optional<QList<SearchResult>> m_searchResults;
    QList<SearchResult> m_similarResults;
    std::optional<ScreenshotRecord> m_presentedRecord;
    QPointer<QObject> m_detail; // the detail window's controller, when one is open

    // Widgets
    QListWidget *m_sidebar = nullptr;
    QPushButton *m_newFolderButton = nullptr;
    LibrarySearchField *m_search = nullptr;
    QComboBox *m_sort = nullptr;
    QLabel *m_indexedCount = nullptr;
    QStackedWidget *m_stack = nullptr;
    LibraryGridView *m_grid = nullptr;
    QLabel *m_emptyState = nullptr;
    QStackedWidget *m_mainStack = nullptr;
    DuplicatesView *m_duplicates = nullptr;
    bool m_showingDuplicates = false;
    PreviewWindow *m_preview = nullptr;
    QPointer<QDialog> m_dialog;
    QPointer<QMenu> m_menu;
    bool m_rebuildingSidebar = false;
    QStringList m_sidebarFolders;
    QStringList m_droppedFiles; // of the drag over the sidebar, once checked
    QDate m_listingDay; // the day whose "Today" the listing shows

    // Search runs on its own thread; only the newest query's answer is used.
    std::shared_ptr<std::atomic<quint64>> m_searchGeneration;
    QThreadPool m_searchPool;
};

} // namespace marlox
