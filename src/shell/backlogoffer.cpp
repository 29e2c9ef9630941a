#include "shell/backlogoffer.h"

#include <QHBoxLayout>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/backlogimport.h"
#include "app/folderlocations.h"
#include "platform/homedirectory.h"
#include "shell/uitext.h"

namespace marlox {

BacklogOffer::BacklogOffer(
    BacklogImport &backlog, const FolderLocations &locations, QWidget *parent)
    : QWidget(parent), m_backlog(backlog), m_locations(locations)
{
    setObjectName(QStringLiteral("backlogOffer"));
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    m_text = UiText::body(QString(), this);
    m_text->setObjectName(QStringLiteral("backlogOffer.text"));
    column->addWidget(m_text);
    auto *row = new QHBoxLayout;
    row->setSpacing(8);
    m_add = new QPushButton(QStringLiteral("Add to Inbox"), this);
    m_add->setObjectName(QStringLiteral("backlogOffer.add"));
    row->addWidget(m_add);
    m_bar = new QProgressBar(this);
    m_bar->setObjectName(QStringLiteral("backlogOffer.progress"));
    m_bar->setTextVisible(false);
    m_bar->setAccessibleName(QStringLiteral("Progress of adding screenshots"));
    row->addWidget(m_bar, 1);
    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("backlogOffer.cancel"));
    m_cancel->setAccessibleName(QStringLiteral("Cancel adding screenshots"));
    row->addWidget(m_cancel);
    row->addStretch(0);
    column->addLayout(row);

    connect(m_add, &QPushButton::clicked, &backlog, &BacklogImport::start);
    connect(m_cancel, &QPushButton::clicked, &backlog, &BacklogImport::cancel);
    connect(&backlog, &BacklogImport::changed, this, &BacklogOffer::update);
    refresh();
    update();
}

void BacklogOffer::refresh()
{
    if (!m_backlog.isRunning())
        m_backlog.refreshCount();
}

void BacklogOffer::update()
{
    const BacklogImport &backlog = m_backlog;
    const BacklogImport::Progress &progress = backlog.progress();
    const qsizetype waiting = backlog.waitingCount().value_or(0);
    const QLocale locale;
    const bool running = backlog.isRunning();
    QString text;
    if (running) {
        text = backlog.progressText();
    } else if (waiting > 0) {
        const QString folder = displayPath(m_locations.screenshotFolder());
        text = waiting == 1
            ? QStringLiteral("Add the screenshot already in %1 to the Inbox?").arg(folder)
            : QStringLiteral("Add the %1 screenshots already in %2 to the Inbox?")
                  .arg(locale.toString(qlonglong(waiting)), folder);
        text += QStringLiteral(" They stay where they are; Marlox makes them searchable.");
    } else if (progress.finished && !progress.cancelled && progress.added > 0) {
        text = QStringLiteral("Added %1 earlier screenshots to the Inbox.")
                   .arg(locale.toString(qlonglong(progress.added)));
    }
    if (!running && progress.finished && progress.skipped > 0)
        text += QStringLiteral(" %1 couldn't be read and were left out.")
                    .arg(locale.toString(qlonglong(progress.skipped)));
    m_text->setText(text.trimmed());
    m_add->setVisible(!running && waiting > 0);
    m_bar->setVisible(running);
    m_bar->setRange(0, int(qMax<qsizetype>(progress.total, 0)));
    m_bar->setValue(int(progress.done));
    m_cancel->setVisible(running);
    setVisible(!text.trimmed().isEmpty());
}

} // namespace marlox
