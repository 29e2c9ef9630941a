#include "shell/filedcopynotice.h"

#include <QHBoxLayout>
#include <QLabel>

#include "shell/promptparts.h"
#include "storage/librarysection.h"

namespace marlox {

using namespace PromptParts;

FiledCopyNotice::FiledCopyNotice(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("capturePrompt.filedCopy"));
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    m_text = new QLabel(this);
    m_text->setObjectName(QStringLiteral("capturePrompt.filedCopyText"));
    m_text->setFont(caption2Font(font()));
    m_text->setWordWrap(true);
    m_discard = new PromptButton(QStringLiteral("Discard Copy"), this);
    m_discard->setObjectName(QStringLiteral("capturePrompt.discardCopy"));
    // Alt rather than Ctrl: the text fields keep Ctrl+D for deleting a letter.
    m_discard->setShortcut(QKeySequence(Qt::ALT | Qt::Key_D));
    m_discard->setToolTip(QStringLiteral("Discard Copy (Alt+D)"));
    m_discard->setAccessibleDescription(
        QStringLiteral("Moves this new copy to the Trash; the filed one stays"));
    layout->addWidget(m_text, 1);
    layout->addWidget(m_discard, 0, Qt::AlignVCenter);
    connect(m_discard, &QPushButton::clicked, this, &FiledCopyNotice::discardRequested);
    hide();
}

QString FiledCopyNotice::text(const ScreenshotRecord &record)
{
    const QString folder = record.folder.isEmpty() ? generalFolder : record.folder;
    return QStringLiteral("Already filed in “%1” as “%2”.").arg(folder, record.title);
}

void FiledCopyNotice::setFiledCopy(const std::optional<ScreenshotRecord> &record)
{
    m_text->setText(record ? text(*record) : QString());
    m_discard->setEnabled(record.has_value());
    setVisible(record.has_value());
}

} // namespace marlox
