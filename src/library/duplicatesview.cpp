#include "library/duplicatesview.h"

#include <algorithm>

#include <QContextMenuEvent>
#include <QFrame>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShowEvent>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/duplicateactions.h"
#include "app/duplicatefinder.h"
#include "library/thumbnailprovider.h"
#include "storage/librarysection.h"

namespace marlox {

namespace {

constexpr QSize thumbnailSize { 144, 90 };
constexpr int tilesPerRow = 5;

QString folderText(const ScreenshotRecord &record)
{
    if (record.status == ScreenshotStatus::inbox)
        return QStringLiteral("Inbox");
    return record.folder.isEmpty() ? generalFolder : record.folder;
}

QLabel *heading(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.15);
    label->setFont(font);
    return label;
}

QLabel *note(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

// A screenshot in a group: its thumbnail, title and place. Click or Return
// opens it, Delete trashes it, the context menu is the library's.
class Tile : public QToolButton
{
public:
    Tile(const ScreenshotRecord &record, DuplicatesView *view, DuplicateActions *actions,
        QWidget *parent)
        : QToolButton(parent), m_record(record), m_view(view), m_actions(actions)
    {
        setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        setIconSize(thumbnailSize);
        setAutoRaise(true);
        setFocusPolicy(Qt::StrongFocus);
        connect(
            this, &QToolButton::clicked, this, [this] { Q_EMIT m_view->openRequested(m_record); });
    }

protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        if ((event->key() == Qt::Key_Delete || event->key() == Qt::Key_Backspace) && m_actions) {
            m_actions->deleteRecord(m_record, window()->frameGeometry());
            return;
        }
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
            Q_EMIT m_view->openRequested(m_record);
            return;
        }
        QToolButton::keyPressEvent(event);
    }
    void contextMenuEvent(QContextMenuEvent *event) override
    {
        Q_EMIT m_view->menuRequested(m_record, event->globalPos());
    }

private:
    ScreenshotRecord m_record;
    DuplicatesView *m_view;
    QPointer<DuplicateActions> m_actions;
};

} // namespace

DuplicatesView::DuplicatesView(DuplicateActions *actions, QWidget *parent)
    : QWidget(parent), m_actions(actions)
{
    setObjectName(QStringLiteral("library.duplicates"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 12, 16, 0);
    layout->setSpacing(6);
    layout->addWidget(heading(QStringLiteral("Duplicates"), this));
    layout->addWidget(note(QStringLiteral("Identical files are the same screenshot saved more than "
                                          "once. “Keep One” keeps the oldest filed copy and "
                                          "moves the others to the Trash, with Undo."),
        this));
    m_status = note(QString(), this);
    m_status->setObjectName(QStringLiteral("library.duplicates.status"));
    layout->addWidget(m_status);
    m_scroll = new QScrollArea(this);
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    layout->addWidget(m_scroll, 1);

    m_searchDelay = new QTimer(this);
    m_searchDelay->setSingleShot(true);
    m_searchDelay->setInterval(150);
    connect(m_searchDelay, &QTimer::timeout, this, [this] {
        if (m_actions)
            m_actions->duplicates().findGroups();
    });
    if (!actions)
        return;
    DuplicateFinder &finder = actions->duplicates();
    connect(&finder, &DuplicateFinder::groupsFound, this, &DuplicatesView::rebuild);
    connect(&finder, &DuplicateFinder::hashesFilled, this, &DuplicatesView::scheduleSearch);
    connect(actions, &DuplicateActions::recordsChanged, this, &DuplicatesView::scheduleSearch);
}

void DuplicatesView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (event->spontaneous() || !m_actions)
        return;
    m_status->setText(QStringLiteral("Looking for duplicates…"));
    m_status->show();
    m_actions->duplicates().fillMissingHashes();
    m_actions->duplicates().findGroups();
}

void DuplicatesView::scheduleSearch()
{
    // Hidden, it looks again when shown.
    if (isVisible())
        m_searchDelay->start();
}

QString DuplicatesView::keepOneToolTip(const ScreenshotRecord &kept)
{
    return QStringLiteral("Keeps the oldest filed copy, “%1” in %2, and moves the others to the "
                          "Trash")
        .arg(kept.title, folderText(kept));
}

void DuplicatesView::rebuild()
{
    if (!m_actions)
        return;
    const DuplicateListing &listing = m_actions->duplicates().listing();
    m_keepButtons.clear();
    const int scrolled = m_scroll->verticalScrollBar() ? m_scroll->verticalScrollBar()->value() : 0;
    m_content = new QWidget;
    m_groups = new QVBoxLayout(m_content);
    m_groups->setContentsMargins(0, 8, 0, 16);
    m_groups->setSpacing(12);
    const auto addKind = [this](const QList<QList<ScreenshotRecord>> &groups, bool identical) {
        const qsizetype shown = std::min<qsizetype>(groups.size(), shownGroups);
        for (qsizetype i = 0; i < shown; ++i)
            m_groups->addWidget(groupBox(groups.at(i), identical));
        if (groups.size() > shown)
            m_groups->addWidget(note(
                QStringLiteral("%1 more groups not shown.").arg(groups.size() - shown), m_content));
    };
    m_groups->addWidget(heading(QStringLiteral("Identical files"), m_content));
    if (listing.identical.isEmpty())
        m_groups->addWidget(note(QStringLiteral("No identical files."), m_content));
    addKind(listing.identical, true);
    auto *similar = heading(similarHeading(), m_content);
    similar->setObjectName(QStringLiteral("library.duplicates.similarHeading"));
    m_groups->addWidget(similar);
    m_groups->addWidget(note(QStringLiteral("Pictures that look alike but differ, such as the same "
                                            "window with another time on its clock. Nothing here "
                                            "is deleted for you."),
        m_content));
    if (listing.similar.isEmpty())
        m_groups->addWidget(note(QStringLiteral("No similar pictures."), m_content));
    addKind(listing.similar, false);
    m_groups->addStretch(1);
    delete m_scroll->takeWidget();
    m_scroll->setWidget(m_content);
    m_scroll->verticalScrollBar()->setValue(scrolled);

    const bool filling = m_actions->duplicates().isFillingHashes();
    m_status->setText(filling ? QStringLiteral("Still looking at older screenshots; more similar "
                                               "pictures may turn up.")
                              : QString());
    m_status->setVisible(filling);
    Q_EMIT groupsShown();
}

QWidget *DuplicatesView::groupBox(const QList<ScreenshotRecord> &group, bool identical)
{
    auto *box = new QFrame(m_content);
    box->setFrameShape(QFrame::StyledPanel);
    auto *layout = new QVBoxLayout(box);
    auto *top = new QHBoxLayout;
    const qsizetype kept = identical ? DuplicateFinder::keeperIndex(group) : -1;
    top->addWidget(
        new QLabel(identical ? QStringLiteral("%1 identical copies").arg(group.size())
                             : QStringLiteral("%1 similar screenshots").arg(group.size()),
            box));
    top->addStretch(1);
    if (identical) {
        auto *keep = new QPushButton(QStringLiteral("Keep One"), box);
        keep->setObjectName(QStringLiteral("library.duplicates.keepOne"));
        keep->setToolTip(keepOneToolTip(group.at(kept)));
        keep->setAccessibleDescription(keep->toolTip());
        connect(keep, &QPushButton::clicked, this, [this, group] { keepOne(group); });
        top->addWidget(keep);
        m_keepButtons.append(keep);
    }
    layout->addLayout(top);
    auto *tiles = new QGridLayout;
    tiles->setAlignment(Qt::AlignLeft);
    for (qsizetype i = 0; i < group.size(); ++i)
        tiles->addWidget(
            tile(group.at(i), i == kept, box), int(i / tilesPerRow), int(i % tilesPerRow));
    layout->addLayout(tiles);
    return box;
}

QWidget *DuplicatesView::tile(const ScreenshotRecord &record, bool kept, QWidget *parent)
{
    auto *button = new Tile(record, this, m_actions, parent);
    const QString place = folderText(record) + (kept ? QStringLiteral(" · kept") : QString());
    const QFontMetrics metrics(button->font());
    button->setText(
        metrics.elidedText(record.title, Qt::ElideRight, thumbnailSize.width()) + u'\n' + place);
    button->setToolTip(record.title + QStringLiteral(" — ") + place);
    const qreal ratio = devicePixelRatioF();
    QPointer<QToolButton> weak(button);
    ThumbnailProvider::shared().thumbnail(record.path, qRound(thumbnailSize.width() * ratio),
        qRound(thumbnailSize.height() * ratio), button, [weak](const QImage &image) {
            if (weak && !image.isNull())
                weak->setIcon(QIcon(QPixmap::fromImage(image)));
        });
    return button;
}

void DuplicatesView::keepOne(const QList<ScreenshotRecord> &group)
{
    if (!m_actions)
        return;
    const qsizetype kept = DuplicateFinder::keeperIndex(group);
    QList<ScreenshotRecord> others = group;
    others.removeAt(kept);
    m_actions->deleteRecords(others, window()->frameGeometry());
}

} // namespace marlox
