#include "library/librarywindow.h"

#include <utility>

#include <QBoxLayout>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDropEvent>
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
#include "library/filemanagerreveal.h"
#include "library/griddragdata.h"
#include "library/librarygridview.h"
#include "library/librarysearchfield.h"
#include "library/previewwindow.h"
#include "library/screenshotdetail.h"
#include "platform/errors.h"
#include "platform/log.h"
#include "platform/memoryrelease.h"
#include "storage/preferences.h"

namespace marlox {

namespace {

const QString thumbnailScaleKey = QStringLiteral("com.quorvintesha.Marlox.libraryThumbnailScale");

} // namespace

LibrarySection LibraryWindow::sectionOf(const QListWidgetItem *item)
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
    m_sidebar->setAcceptDrops(true);
    m_sidebar->viewport()->setAcceptDrops(true);
    m_sidebar->viewport()->installEventFilter(this);
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
    splitter->addWidget(withDuplicatesPane(main));
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

bool LibraryWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_sidebar->viewport())
        return QWidget::eventFilter(watched, event);
    const auto folderAt = [this](const QPointF &pos) {
        const QListWidgetItem *item = m_sidebar->itemAt(pos.toPoint());
        return item && item->data(sectionRole).toInt() == 2 ? item->data(folderRole).toString()
                                                            : QString();
    };
    switch (event->type()) {
    case QEvent::DragEnter: {
        // Taken while it carries images only, so that the moves over the
        // folders (one follows at once) can take or refuse it.
        auto *drag = static_cast<QDragEnterEvent *>(event);
        m_droppedFiles = m_appState && !m_appState->libraryRoot().isEmpty()
            ? droppedImageFiles(*drag->mimeData(), m_appState->libraryRoot())
            : QStringList();
        drag->setAccepted(!m_droppedFiles.isEmpty());
        return true;
    }
    case QEvent::DragMove: {
        auto *drag = static_cast<QDragMoveEvent *>(event);
        const QString folder = m_droppedFiles.isEmpty() ? QString() : folderAt(drag->position());
        setDropFolder(folder);
        if (folder.isEmpty()) {
            drag->ignore();
        } else {
            drag->setDropAction(Qt::CopyAction);
            drag->accept();
        }
        return true;
    }
    case QEvent::DragLeave:
        setDropFolder({});
        m_droppedFiles.clear();
        return true;
    case QEvent::Drop: {
        auto *drop = static_cast<QDropEvent *>(event);
        const QString folder = m_droppedFiles.isEmpty() ? QString() : folderAt(drop->position());
        setDropFolder({});
        if (folder.isEmpty() || !m_appState) {
            drop->ignore();
        } else {
            drop->setDropAction(Qt::CopyAction);
            drop->accept();
            m_appState->importFiles(std::exchange(m_droppedFiles, {}), folder);
        }
        m_droppedFiles.clear();
        return true;
    }
    default:
        return QWidget::eventFilter(watched, event);
    }
}

void LibraryWindow::setDropFolder(const QString &folder)
{
    // Marked again on every move: a rebuilt sidebar has lost the mark.
    QColor mark = m_sidebar->palette().color(QPalette::Highlight);
    mark.setAlphaF(0.35);
    for (int row = 0; row < m_sidebar->count(); ++row) {
        QListWidgetItem *item = m_sidebar->item(row);
        if (item->data(sectionRole).toInt() != 2)
            continue;
        const bool marked = !folder.isEmpty() && item->data(folderRole).toString() == folder;
        item->setData(Qt::BackgroundRole, marked ? QVariant(mark) : QVariant());
    }
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
    m_showingDuplicates = false;
    m_mainStack->setCurrentIndex(0);
    m_rebuildingSidebar = true;
    for (int row = 0; row < m_sidebar->count(); ++row) {
        QListWidgetItem *item = m_sidebar->item(row);
        if (isCurrentInSidebar(item)) {
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
    if (item->data(sectionRole).toInt() == 3) {
        showDuplicates(true);
        return;
    }
    showDuplicates(false);
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
    row(QStringLiteral("Duplicates"), QStringLiteral("edit-copy"), 3);
    heading(QStringLiteral("Folders"));
    m_sidebarFolders = m_appState->folderNames();
    for (const QString &name : std::as_const(m_sidebarFolders))
        row(name, QStringLiteral("folder"), 2, name);
    for (int i = 0; i < m_sidebar->count(); ++i) {
        QListWidgetItem *item = m_sidebar->item(i);
        if (isCurrentInSidebar(item))
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

} // namespace marlox
