#include "library/librarywindow.h"

#include <QBoxLayout>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>
#include <QShowEvent>
#include <QSplitter>
#include <QStackedWidget>
#include <QStyle>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include "app/appstate.h"
#include "app/preferences.h"
#include "library/filemanagerreveal.h"
#include "library/librarygridview.h"
#include "library/librarysearchfield.h"
#include "library/previewwindow.h"
#if __has_include("library/screenshotdetail.h")
#include "library/screenshotdetail.h"
#define MARLOX_HAVE_DETAIL_WINDOW 1
#else
#define MARLOX_HAVE_DETAIL_WINDOW 0
#endif
#include "platform/errors.h"
#include "platform/log.h"
#include "platform/memoryrelease.h"

namespace marlox {

namespace {

constexpr int sectionRole = Qt::UserRole + 1; // 0 all, 1 inbox, 2 folder, -1 heading
constexpr int folderRole = Qt::UserRole + 2;
const QString general = QStringLiteral("General");
const QString thumbnailScaleKey = QStringLiteral("com.quorvintesha.Marlox.libraryThumbnailScale");

LibrarySection sectionOf(const QListWidgetItem *item)
{
    switch (item->data(sectionRole).toInt()) {
    case 1:
        return LibrarySection::inbox();
    case 2:
        return LibrarySection::folder(item->data(folderRole).toString());
    default:
        return LibrarySection::all();
    }
}

} // namespace

LibraryWindow::LibraryWindow(AppState *appState, QWidget *parent)
    : QWidget(parent, Qt::Window),
      m_appState(appState),
      m_searchGeneration(std::make_shared<std::atomic<quint64>>(0))
{
    m_searchPool.setMaxThreadCount(1);
    setWindowTitle(QStringLiteral("Marlox Library"));
    setObjectName(QStringLiteral("library.window"));
    setMinimumSize(720, 500);
    resize(1000, 680);
    buildUi();

    connect(appState, &AppState::recordsChanged, this, [this] {
        if (m_searchResults)
            runSearch();
        rebuildSidebar();
        refreshListing();
    });
    connect(appState, &AppState::recordReplaced, this,
        [this](const std::optional<ScreenshotRecord> &before,
            const std::optional<ScreenshotRecord> &after) { onRecordReplaced(before, after); });
    connect(appState, &AppState::libraryRootChanged, this, [this] {
        rebuildSidebar();
        refreshListing();
    });

    rebuildSidebar();
    refreshListing();
}

LibraryWindow::~LibraryWindow()
{
    closeDetail();
    // A running search uses the coordinator's database; let it finish.
    m_searchGeneration->fetch_add(1);
    m_searchPool.clear();
    m_searchPool.waitForDone();
    // The window is made anew when it opens again; until then its thumbnails
    // and listing are dead weight in a process that lives in the tray.
    ThumbnailProvider::shared().clearCache();
    QTimer::singleShot(0, QCoreApplication::instance(), [] { MemoryRelease::releaseFreed(); });
}

void LibraryWindow::buildUi()
{
    auto *splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setChildrenCollapsible(false);

    // Sidebar
    auto *side = new QWidget(splitter);
    side->setMinimumWidth(160);
    auto *sideLayout = new QVBoxLayout(side);
    sideLayout->setContentsMargins(8, 8, 8, 8);
    m_sidebar = new QListWidget(side);
    m_sidebar->setObjectName(QStringLiteral("library.sidebar"));
    m_sidebar->setFrameShape(QFrame::NoFrame);
    m_sidebar->setContextMenuPolicy(Qt::CustomContextMenu);
    m_sidebar->setSelectionMode(QAbstractItemView::SingleSelection);
    sideLayout->addWidget(m_sidebar, 1);
    m_newFolderButton = new QPushButton(QIcon::fromTheme(QStringLiteral("folder-new"),
                                            style()->standardIcon(QStyle::SP_FileDialogNewFolder)),
        QStringLiteral("New Folder"), side);
    m_newFolderButton->setObjectName(QStringLiteral("library.newFolder"));
    m_newFolderButton->setFlat(true);
    m_newFolderButton->setToolTip(QStringLiteral("New Folder (Ctrl+Shift+N)"));
    auto *newFolder = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_N), this);
    connect(newFolder, &QShortcut::activated, this, [this] { beginNewFolder(); });
    sideLayout->addWidget(m_newFolderButton, 0, Qt::AlignLeft);
    connect(m_sidebar, &QListWidget::currentItemChanged, this,
        [this](QListWidgetItem *item) { onSidebarItemChanged(item); });
    connect(m_sidebar, &QListWidget::customContextMenuRequested, this,
        [this](const QPoint &pos) { showFolderMenu(pos); });
    connect(m_newFolderButton, &QPushButton::clicked, this, [this] { beginNewFolder(); });

    // Main pane
    auto *main = new QWidget(splitter);
    main->setMinimumWidth(360);
    auto *mainLayout = new QVBoxLayout(main);
    mainLayout->setContentsMargins(0, 8, 0, 0);
    mainLayout->setSpacing(6);
    auto *header = new QHBoxLayout;
    header->setContentsMargins(12, 0, 12, 0);
    m_search = new LibrarySearchField(main);
    m_search->setObjectName(QStringLiteral("library.search"));
    m_search->setClearButtonEnabled(true);
    m_sort = new QComboBox(main);
    m_sort->setObjectName(QStringLiteral("library.sort"));
    m_sort->setAccessibleName(QStringLiteral("Sort by"));
    m_sort->setFixedWidth(170);
    for (LibrarySortOrder order : allSortOrders())
        m_sort->addItem(label(order), static_cast<int>(order));
    m_indexedCount = new QLabel(main);
    m_indexedCount->setObjectName(QStringLiteral("library.indexedCount"));
    header->addWidget(m_search, 1);
    header->addWidget(m_sort);
    header->addWidget(m_indexedCount);
    mainLayout->addLayout(header);

    m_stack = new QStackedWidget(main);
    m_grid = new LibraryGridView(m_stack);
    m_grid->setObjectName(QStringLiteral("library.grid"));
    m_emptyState = new QLabel(m_stack);
    m_emptyState->setObjectName(QStringLiteral("library.emptyState"));
    m_emptyState->setAlignment(Qt::AlignCenter);
    m_emptyState->setWordWrap(true);
    m_emptyState->setForegroundRole(QPalette::PlaceholderText);
    m_stack->addWidget(m_grid);
    m_stack->addWidget(m_emptyState);
    mainLayout->addWidget(m_stack, 1);

    splitter->addWidget(side);
    splitter->addWidget(main);
    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({ 200, 800 });
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(splitter);

    connect(m_search, &QLineEdit::textChanged, this, [this] { runSearch(); });
    auto *find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, m_search, &LibrarySearchField::focusForSearch);
    connect(m_search, &LibrarySearchField::leaveRequested, this,
        [this] { m_grid->setFocus(Qt::OtherFocusReason); });
    connect(m_grid, &LibraryGridView::textTyped, m_search, &LibrarySearchField::continueTyping);
    m_grid->setThumbnailScale(Preferences::value(thumbnailScaleKey, 100).toInt());
    connect(m_grid, &LibraryGridView::thumbnailScaleChanged, this,
        [](int percent) { Preferences::setValue(thumbnailScaleKey, percent); });
    connect(m_sort, &QComboBox::currentIndexChanged, this, [this](int index) {
        m_sortOrder = static_cast<LibrarySortOrder>(m_sort->itemData(index).toInt());
        refreshListing();
    });

    using LibrarySorting::Move;
    connect(m_grid, &LibraryGridView::moveRequested, this, &LibraryWindow::moveSelection);
    connect(m_grid, &LibraryGridView::clicked, this,
        [this](const ScreenshotRecord &record) { selectRecord(record); });
    connect(m_grid, &LibraryGridView::activated, this, [this](const ScreenshotRecord &record) {
        selectRecord(record);
        openRecord(record);
    });
    connect(m_grid, &LibraryGridView::returnPressed, this, [this] {
        if (m_selectedRecord)
            openRecord(*m_selectedRecord);
    });
    connect(m_grid, &LibraryGridView::spacePressed, this, [this] {
        if (m_selectedRecord)
            previewRecord(*m_selectedRecord);
    });
    connect(m_grid, &LibraryGridView::deletePressed, this, &LibraryWindow::trashSelected);
    connect(m_grid, &LibraryGridView::contextMenuRequested, this, &LibraryWindow::showRecordMenu);
}

void LibraryWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    if (m_appState)
        m_appState->reconcileLibrary();
    m_grid->setFocus(Qt::OtherFocusReason);
}

void LibraryWindow::closeEvent(QCloseEvent *event)
{
    closeDetail();
    if (m_preview)
        m_preview->close();
    QWidget::closeEvent(event);
}

QString LibraryWindow::query() const
{
    return m_search->text();
}

void LibraryWindow::setSelection(const LibrarySection &section)
{
    if (m_selection == section)
        return;
    m_selection = section;
    m_rebuildingSidebar = true;
    for (int row = 0; row < m_sidebar->count(); ++row) {
        QListWidgetItem *item = m_sidebar->item(row);
        if (item->data(sectionRole).toInt() >= 0 && sectionOf(item) == section) {
            m_sidebar->setCurrentItem(item);
            break;
        }
    }
    m_rebuildingSidebar = false;
    updateHeader();
    if (m_searchResults || !LibrarySorting::isBlankQuery(query()))
        runSearch();
    refreshListing();
}

void LibraryWindow::setSortOrder(LibrarySortOrder order)
{
    m_sort->setCurrentIndex(m_sort->findData(static_cast<int>(order)));
}

void LibraryWindow::selectRecord(const std::optional<ScreenshotRecord> &record)
{
    m_selectedRecord = record;
    m_grid->setSelectedId(record ? std::optional<qint64>(record->id) : std::nullopt);
    if (record) {
        const int index = LibrarySorting::selectionIndex(m_grid->displayed(), record->id);
        m_grid->scrollToIndex(index);
    }
}

void LibraryWindow::onSidebarItemChanged(QListWidgetItem *item)
{
    if (m_rebuildingSidebar || !item || item->data(sectionRole).toInt() < 0)
        return;
    setSelection(sectionOf(item));
}

void LibraryWindow::rebuildSidebar()
{
    if (!m_appState)
        return;
    m_rebuildingSidebar = true;
    m_sidebar->clear();
    const auto heading = [this](const QString &text) {
        auto *item = new QListWidgetItem(text, m_sidebar);
        item->setFlags(Qt::NoItemFlags);
        // Section headings as file managers draw them: bold, full size, in a
        // muted but legible text colour rather than the disabled grey.
        QFont font = item->font();
        font.setBold(true);
        item->setFont(font);
        QColor colour = m_sidebar->palette().color(QPalette::Active, QPalette::WindowText);
        colour.setAlphaF(0.7);
        item->setForeground(colour);
        item->setData(sectionRole, -1);
    };
    const auto row
        = [this](const QString &text, const QString &icon, int kind, const QString &folder = {}) {
              auto *item = new QListWidgetItem(QIcon::fromTheme(icon), text, m_sidebar);
              item->setData(sectionRole, kind);
              item->setData(folderRole, folder);
              return item;
          };
    heading(QStringLiteral("Sections"));
    row(QStringLiteral("All Screenshots"), QStringLiteral("folder-pictures"), 0);
    row(inboxLabel(), QStringLiteral("mail-folder-inbox"), 1);
    heading(QStringLiteral("Folders"));
    m_sidebarFolders = m_appState->folderNames();
    for (const QString &name : std::as_const(m_sidebarFolders))
        row(name, QStringLiteral("folder"), 2, name);
    for (int i = 0; i < m_sidebar->count(); ++i) {
        QListWidgetItem *item = m_sidebar->item(i);
        if (item->data(sectionRole).toInt() >= 0 && sectionOf(item) == m_selection)
            m_sidebar->setCurrentItem(item);
    }
    m_rebuildingSidebar = false;
}

QString LibraryWindow::inboxLabel() const
{
    return QStringLiteral("Inbox (%1)").arg(m_appState->inboxCount());
}

void LibraryWindow::onRecordReplaced(
    const std::optional<ScreenshotRecord> &before, const std::optional<ScreenshotRecord> &after)
{
    if (!m_appState)
        return;
    // The folder list changes only when a record changes folders.
    if ((before ? before->folder : QString()) != (after ? after->folder : QString())
        && m_appState->folderNames() != m_sidebarFolders) {
        rebuildSidebar();
    } else {
        for (int i = 0; i < m_sidebar->count(); ++i) {
            QListWidgetItem *item = m_sidebar->item(i);
            if (item->data(sectionRole).toInt() == 1)
                item->setText(inboxLabel());
        }
    }
    // Results come from the index; "today" moves at midnight: both redo the whole listing.
    if (m_searchResults || QDate::currentDate() != m_listingDay) {
        if (m_searchResults)
            runSearch();
        refreshListing();
        return;
    }
    updateHeader();
    const qint64 id = before ? before->id : after->id;
    // A row new to the list is in no cell: no search through them all.
    if (before)
        m_grid->removeRecord(id);
    const bool shown = after && LibrarySorting::inSection(*after, m_selection);
    if (shown) {
        QString header;
        int rank = 0;
        if (m_sortOrder != LibrarySortOrder::title) {
            const auto group = LibrarySorting::recordGroup(*after, QDateTime::currentDateTime());
            header = LibrarySorting::label(group);
            rank = static_cast<int>(group);
        }
        m_grid->insertRecord(*after, header, rank, LibrarySorting::comesBefore(m_sortOrder));
    }
    if (m_selectedRecord && m_selectedRecord->id == id) {
        m_selectedRecord = shown ? after : std::nullopt;
        m_grid->setSelectedId(shown ? std::optional<qint64>(id) : std::nullopt);
    }
    if (m_grid->displayed().isEmpty()) {
        m_emptyState->setText(LibrarySorting::emptyStateText(m_selection, query()));
        m_stack->setCurrentWidget(m_emptyState);
    } else {
        m_stack->setCurrentWidget(m_grid);
    }
    Q_EMIT listingChanged();
}

void LibraryWindow::updateHeader(std::optional<int> matches)
{
    m_search->setPlaceholderText(LibrarySorting::searchPlaceholder(m_selection));
    const int count = m_appState ? static_cast<int>(m_appState->records().size()) : 0;
    QString text = QString::number(count) + QStringLiteral(" indexed");
    if (matches) {
        text.prepend(
            (*matches == 1 ? QStringLiteral("1 match") : QStringLiteral("%1 matches").arg(*matches))
            + QStringLiteral(" · "));
    }
    m_indexedCount->setText(text);
}

void LibraryWindow::refreshListing()
{
    if (!m_appState)
        return;
    m_listingDay = QDate::currentDate();
    const auto filtered
        = LibrarySorting::filteredRecords(m_appState->records(), m_selection, m_searchResults);
    updateHeader(m_searchResults ? std::optional<int>(int(filtered.size())) : std::nullopt);
    const auto listing
        = LibrarySorting::listing(filtered, m_sortOrder, QDateTime::currentDateTime());

    QList<LibraryGridView::Block> blocks;
    if (listing.groups.isEmpty() && !listing.displayed.isEmpty()) {
        blocks.append({ QString(), listing.displayed });
    } else {
        for (const auto &group : listing.groups)
            blocks.append({ LibrarySorting::label(group.group), group.records, false,
                static_cast<int>(group.group) });
    }
    QHash<qint64, QString> snippets;
    QList<ScreenshotRecord> similar;
    if (m_searchResults) {
        for (const auto &hit : *m_searchResults)
            snippets.insert(hit.id(), hit.snippet);
        // Guesses come after every exact result, in their own order, never
        // mixed into the date groups.
        for (const auto &hit : std::as_const(m_similarResults)) {
            if (snippets.contains(hit.id()))
                continue;
            snippets.insert(hit.id(), hit.snippet);
            similar.append(hit.record);
        }
        if (!similar.isEmpty())
            blocks.append({ similarHeader(), similar, true });
    }
    m_grid->setContents(std::move(blocks), std::move(snippets));

    // A selection that left the list is dropped; one still there takes the
    // record's newest values.
    if (m_selectedRecord) {
        std::optional<ScreenshotRecord> fresh;
        for (const auto *list : { &filtered, &std::as_const(similar) }) {
            for (const auto &record : *list) {
                if (!fresh && record.id == m_selectedRecord->id)
                    fresh = record;
            }
        }
        m_selectedRecord = fresh;
        m_grid->setSelectedId(fresh ? std::optional<qint64>(fresh->id) : std::nullopt);
    }

    if (listing.displayed.isEmpty() && similar.isEmpty()) {
        m_emptyState->setText(LibrarySorting::emptyStateText(m_selection, query()));
        m_stack->setCurrentWidget(m_emptyState);
    } else {
        m_stack->setCurrentWidget(m_grid);
    }
    Q_EMIT listingChanged();
}

void LibraryWindow::runSearch()
{
    const quint64 generation = m_searchGeneration->fetch_add(1) + 1;
    const QString text = query();
    if (LibrarySorting::isBlankQuery(text)) {
        if (m_searchResults) {
            m_searchResults.reset();
            m_similarResults.clear();
            refreshListing();
        }
        Q_EMIT searchApplied();
        return;
    }
    AppState *state = m_appState.data();
    if (!state)
        return;
    const LibrarySection section = m_selection;
    auto latest = m_searchGeneration;
    struct Found
    {
        QList<SearchResult> exact;
        QList<SearchResult> similar;
    };
    QtConcurrent::run(&m_searchPool,
        [state, text, section, latest, generation]() -> std::optional<Found> {
            if (latest->load() != generation)
                return std::nullopt; // a newer query is already waiting
            Found found;
            try {
                found.exact = state->searchRecords(text, section);
                // Guesses only where exact results are few, and only while
                // this query is still the newest.
                if (found.exact.size() < AppState::similarThreshold && latest->load() == generation)
                    found.similar = state->similarRecords(text, section, found.exact);
            } catch (const std::exception &e) {
                qCWarning(lcShell, "Library search failed: %s", qUtf8Printable(describe(e)));
            }
            return found;
        })
        .then(this, [this, generation](const std::optional<Found> &found) {
            if (!found || m_searchGeneration->load() != generation)
                return;
            m_searchResults = found->exact;
            m_similarResults = found->similar;
            refreshListing();
            Q_EMIT searchApplied();
        });
}

void LibraryWindow::moveSelection(LibrarySorting::Move move)
{
    const auto &displayed = m_grid->displayed();
    const int current = LibrarySorting::selectionIndex(
        displayed, m_selectedRecord ? std::optional<qint64>(m_selectedRecord->id) : std::nullopt);
    const int next = LibrarySorting::movedIndex(
        static_cast<int>(current), static_cast<int>(displayed.size()), move, m_grid->columns());
    if (next >= 0)
        selectRecord(displayed[next]);
}

void LibraryWindow::openRecord(const ScreenshotRecord &record)
{
#if MARLOX_HAVE_DETAIL_WINDOW
    closeDetail();
    m_presentedRecord = record;
    QPointer<LibraryWindow> self(this);
    // The controller lives as long as its window, which deletes itself on close.
    auto *detail = new ScreenshotDetailWindowController(m_appState, record, this, [self] {
        if (!self)
            return;
        self->m_presentedRecord.reset();
        self->m_detail = nullptr;
    });
    m_detail = detail;
    if (m_searchResults)
        detail->view()->setSearchQuery(query());
    detail->showWindow();
#else
    // Without the detail window the preview shows the screenshot.
    m_presentedRecord = record;
    previewRecord(record);
#endif
}

void LibraryWindow::closeDetail()
{
    m_presentedRecord.reset();
#if MARLOX_HAVE_DETAIL_WINDOW
    if (auto *detail = qobject_cast<ScreenshotDetailWindowController *>(m_detail.data())) {
        m_detail = nullptr;
        detail->close();
    }
#endif
}

void LibraryWindow::previewRecord(const ScreenshotRecord &record)
{
    if (!m_preview)
        m_preview = new PreviewWindow(this);
    m_preview->showFile(record.path);
}

void LibraryWindow::trashSelected()
{
    if (!m_selectedRecord || !m_appState)
        return;
    const ScreenshotRecord record = *m_selectedRecord;
    m_appState->deleteRecord(record, windowFrame());
    selectRecord(std::nullopt);
}

QRect LibraryWindow::windowFrame() const
{
    return frameGeometry();
}

QMenu *LibraryWindow::folderMenu(const QString &name)
{
    if (name == general)
        return nullptr;
    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(QStringLiteral("Rename…"), this, [this, name] { beginRenameFolder(name); });
    menu->addAction(QStringLiteral("Delete…"), this, [this, name] { deleteFolderAsked(name); });
    return menu;
}

void LibraryWindow::showFolderMenu(const QPoint &pos)
{
    QListWidgetItem *item = m_sidebar->itemAt(pos);
    if (!item || item->data(sectionRole).toInt() != 2)
        return;
    if (QMenu *menu = folderMenu(item->data(folderRole).toString())) {
        m_menu = menu;
        menu->popup(m_sidebar->viewport()->mapToGlobal(pos));
    }
}

QMenu *LibraryWindow::recordMenu(const ScreenshotRecord &record)
{
    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<AppState> state = m_appState;
    if (record.status == ScreenshotStatus::inbox) {
        menu->addAction(QStringLiteral("File…"), this, [state, record] {
            if (state)
                state->enqueueForPrompt(record);
        });
    } else {
        menu->addAction(
            QStringLiteral("Rename…"), this, [this, record] { beginRenameRecord(record); });
        QMenu *move = menu->addMenu(QStringLiteral("Move to Folder"));
        if (state) {
            for (const QString &folder : state->folderNames()) {
                if (folder == record.folder)
                    continue;
                move->addAction(
                    folder, this, [this, record, folder] { moveRecord(record, folder); });
            }
        }
    }
    menu->addSeparator();
    menu->addAction(QStringLiteral("Preview"), this, [this, record] { previewRecord(record); });
    menu->addAction(QStringLiteral("Copy All Text"), this, [state, record] {
        if (state)
            state->copyOCRText(record);
    });
    menu->addAction(QStringLiteral("Show in File Manager"), this,
        [state, record] { showInFileManager(record.path, state); });
    menu->addSeparator();
    QAction *remove = menu->addAction(QStringLiteral("Delete"), this, [this, state, record] {
        if (state)
            state->deleteRecord(record, windowFrame());
    });
    remove->setIcon(QIcon::fromTheme(QStringLiteral("edit-delete")));
    return menu;
}

void LibraryWindow::showRecordMenu(const ScreenshotRecord &record, const QPoint &globalPos)
{
    QMenu *menu = recordMenu(record);
    m_menu = menu;
    menu->popup(globalPos);
}

QDialog *LibraryWindow::makeNameDialog(const QString &title, const QString &field,
    const QString &text, const QString &acceptLabel, std::function<void(const QString &)> onAccept)
{
    if (m_dialog)
        m_dialog->reject();
    auto *dialog = new QDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(title);
    dialog->setWindowModality(Qt::WindowModal);
    auto *layout = new QVBoxLayout(dialog);
    auto *heading = new QLabel(title, dialog);
    QFont font = heading->font();
    font.setBold(true);
    heading->setFont(font);
    layout->addWidget(heading);
    auto *edit = new QLineEdit(text, dialog);
    edit->setPlaceholderText(field);
    edit->setAccessibleName(field);
    edit->selectAll();
    layout->addWidget(edit);
    auto *buttons = new QDialogButtonBox(dialog);
    QPushButton *accept = buttons->addButton(acceptLabel, QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    accept->setDefault(true);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    connect(dialog, &QDialog::accepted, this,
        [edit, onAccept = std::move(onAccept)] { onAccept(edit->text()); });
    dialog->setMinimumWidth(320);
    m_dialog = dialog;
    dialog->open();
    edit->setFocus();
    return dialog;
}

void LibraryWindow::beginNewFolder()
{
    makeNameDialog(QStringLiteral("New Folder"), QStringLiteral("Folder Name"), QString(),
        QStringLiteral("Create"), [this](const QString &name) {
            if (!m_appState)
                return;
            try {
                m_appState->createFolder(name);
            } catch (const std::exception &e) {
                qCInfo(lcShell, "Creating folder %s failed: %s", qUtf8Printable(name),
                    qUtf8Printable(describe(e)));
            }
            rebuildSidebar();
        });
}

void LibraryWindow::beginRenameFolder(const QString &name)
{
    makeNameDialog(QStringLiteral("Rename Folder"), QStringLiteral("Folder Name"), name,
        QStringLiteral("Rename"), [this, name](const QString &newName) {
            if (!m_appState)
                return;
            try {
                m_appState->renameFolder(name, newName);
            } catch (const std::exception &e) {
                qCInfo(lcShell, "Renaming folder %s failed: %s", qUtf8Printable(name),
                    qUtf8Printable(describe(e)));
            }
            if (m_selection == LibrarySection::folder(name)) {
                m_selection = LibrarySection::folder(newName.trimmed());
                if (m_searchResults)
                    runSearch();
            }
            rebuildSidebar();
            refreshListing();
        });
}

void LibraryWindow::deleteFolderAsked(const QString &name)
{
    if (!m_appState || name == general)
        return;
    if (!m_appState->libraryRoot().isEmpty() && !m_appState->folderIsEmpty(name)) {
        Dialogs::Alert alert;
        alert.style = Dialogs::AlertStyle::warning;
        alert.message = QStringLiteral("Delete “%1”?").arg(name);
        alert.informativeText = QStringLiteral(
            "This folder isn't empty. Its contents will be moved to \"General\" first.");
        alert.buttons
            = { QStringLiteral("Move Contents to ") + general + QStringLiteral(" & Delete"),
                  QStringLiteral("Cancel") };
        alert.destructiveButton = 0;
        if (m_appState->dialogs().runAlert(alert) != 0)
            return;
    }
    try {
        m_appState->deleteFolder(name);
    } catch (const std::exception &e) {
        qCInfo(lcShell, "Deleting folder %s failed: %s", qUtf8Printable(name),
            qUtf8Printable(describe(e)));
    }
    if (m_selection == LibrarySection::folder(name))
        setSelection(LibrarySection::all());
    rebuildSidebar();
    refreshListing();
}

void LibraryWindow::beginRenameRecord(const ScreenshotRecord &record)
{
    makeNameDialog(QStringLiteral("Rename"), QStringLiteral("Title"), record.title,
        QStringLiteral("Rename"), [this, record](const QString &title) {
            if (!m_appState)
                return;
            try {
                const ScreenshotRecord updated
                    = m_appState->fileRecord(record, title, record.folder);
                if (m_selectedRecord && m_selectedRecord->id == record.id)
                    m_selectedRecord = updated;
            } catch (const std::exception &e) {
                qCInfo(lcShell, "Renaming %s failed: %s", qUtf8Printable(record.path),
                    qUtf8Printable(describe(e)));
            }
            refreshListing();
        });
}

void LibraryWindow::moveRecord(const ScreenshotRecord &record, const QString &folder)
{
    if (!m_appState)
        return;
    try {
        const ScreenshotRecord updated = m_appState->fileRecord(record, record.title, folder);
        if (m_selectedRecord && m_selectedRecord->id == record.id)
            m_selectedRecord = updated;
    } catch (const std::exception &e) {
        qCInfo(lcShell, "Moving %s to %s failed: %s", qUtf8Printable(record.path),
            qUtf8Printable(folder), qUtf8Printable(describe(e)));
    }
    rebuildSidebar();
    refreshListing();
}

} // namespace marlox
