// The library window's actions on records and folders: opening, the
// context menus and the dialogs they lead to.
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
#include "app/recordactions.h"
#include "library/filemanagerreveal.h"
#include "library/griddragdata.h"
#include "library/librarygridview.h"
#include "library/librarysearchfield.h"
#include "library/librarywindow.h"
#include "library/previewwindow.h"
#include "library/screenshotdetail.h"
#include "platform/errors.h"
#include "platform/log.h"
#include "platform/memoryrelease.h"
#include "storage/preferences.h"

namespace marlox {

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
    closeDetail();
    m_presentedRecord = record;
    QPointer<LibraryWindow> self(this);
    // The controller lives as long as its window, which deletes itself on close.
    auto *detail = new ScreenshotDetailWindowController(
        m_appState ? &m_appState->recordActions() : nullptr, record, this, [self] {
            if (!self)
                return;
            self->m_presentedRecord.reset();
            self->m_detail = nullptr;
        });
    m_detail = detail;
    // Steps through the list as it stands at each step: sorted, filtered and searched.
    detail->setNeighbours([self](const ScreenshotRecord &from, int step) {
        return self ? LibrarySorting::neighbour(self->m_grid->displayed(), from.id, step)
                    : std::nullopt;
    });
    connect(detail, &ScreenshotDetailWindowController::recordShown, this,
        [this](const ScreenshotRecord &shown) {
            m_presentedRecord = shown;
            selectRecord(shown);
        });
    if (m_searchResults)
        detail->setSearchQuery(query());
    detail->showWindow();
}

void LibraryWindow::closeDetail()
{
    m_presentedRecord.reset();
    if (auto *detail = qobject_cast<ScreenshotDetailWindowController *>(m_detail.data())) {
        m_detail = nullptr;
        detail->close();
    }
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
    if (name == generalFolder)
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
    menu->addAction(QStringLiteral("Show in File Manager"), this, [state, record] {
        showInFileManager(record.path, state ? &state->recordActions() : nullptr);
    });
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
    if (!m_appState || name == generalFolder)
        return;
    if (!m_appState->libraryRoot().isEmpty() && !m_appState->folderIsEmpty(name)) {
        Dialogs::Alert alert;
        alert.style = Dialogs::AlertStyle::warning;
        alert.message = QStringLiteral("Delete “%1”?").arg(name);
        alert.informativeText = QStringLiteral(
            "This folder isn't empty. Its contents will be moved to \"General\" first.");
        alert.buttons
            = { QStringLiteral("Move Contents to ") + generalFolder + QStringLiteral(" & Delete"),
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
