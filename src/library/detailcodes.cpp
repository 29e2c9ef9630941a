#include "library/detailcodes.h"

#include <cmath>

#include <QAbstractTextDocumentLayout>
#include <QClipboard>
#include <QDesktopServices>
#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QTextEdit>
#include <QVBoxLayout>

#include "platform/dialogs.h"
#include "platform/log.h"

namespace marlox {

namespace CodeOutlines {

QPolygonF outline(const ScreenshotCode &code, const QTransform &imageToView)
{
    QPolygonF polygon;
    for (const QPoint &corner : code.corners)
        polygon.append(imageToView.map(QPointF(corner)));
    return polygon;
}

int codeAt(const QList<ScreenshotCode> &codes, const QPointF &imagePoint)
{
    for (qsizetype i = 0; i < codes.size(); ++i) {
        if (outline(codes.at(i), QTransform()).containsPoint(imagePoint, Qt::OddEvenFill))
            return int(i);
    }
    return -1;
}

void paint(QPainter &painter, const QList<ScreenshotCode> &codes, const QTransform &imageToView,
    int highlighted)
{
    if (codes.isEmpty())
        return;
    painter.save();
    painter.resetTransform();
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor accent(0x1a, 0x73, 0xe8);
    for (qsizetype i = 0; i < codes.size(); ++i) {
        const bool strong = i == highlighted;
        QPainterPath path;
        // A little outside the code, so the line never covers its modules.
        const QPolygonF shape = outline(codes.at(i), imageToView);
        const QPointF centre = shape.boundingRect().center();
        QPolygonF grown;
        for (const QPointF &corner : shape) {
            const QPointF away = corner - centre;
            const double length = std::hypot(away.x(), away.y());
            grown.append(length > 0 ? corner + away * (4.0 / length) : corner);
        }
        path.addPolygon(grown);
        path.closeSubpath();
        QColor fill = accent;
        fill.setAlpha(strong ? 60 : 25);
        painter.fillPath(path, fill);
        painter.setPen(QPen(accent, strong ? 3.0 : 2.0));
        painter.drawPath(path);
    }
    painter.restore();
}

} // namespace CodeOutlines

namespace {

QString kindName(const ScreenshotCode &code)
{
    if (code.format == QLatin1String("QRCode"))
        return QStringLiteral("QR code");
    if (code.format == QLatin1String("MicroQRCode"))
        return QStringLiteral("Micro QR code");
    if (code.format == QLatin1String("DataMatrix"))
        return QStringLiteral("Data Matrix code");
    return code.format + QStringLiteral(" barcode");
}

// Plain text that wraps anywhere (an address has no spaces to wrap at) and
// stays selectable, as tall as its text.
QWidget *codeTextView(const QString &text)
{
    auto *view = new QTextEdit;
    view->setObjectName(QStringLiteral("detail.codeText"));
    view->setReadOnly(true);
    view->setPlainText(text);
    view->setFrameShape(QFrame::NoFrame);
    view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    view->viewport()->setAutoFillBackground(false);
    view->document()->setDocumentMargin(0);
    view->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    const auto fit = [view](const QSizeF &size) { view->setFixedHeight(qCeil(size.height())); };
    QObject::connect(view->document()->documentLayout(),
        &QAbstractTextDocumentLayout::documentSizeChanged, view, fit);
    fit(view->document()->size());
    return view;
}

} // namespace

DetailCodeList::DetailCodeList(Dialogs *dialogs, QWidget *parent)
    : QWidget(parent),
      m_dialogs(dialogs),
      m_opener([](const QUrl &url) { return QDesktopServices::openUrl(url); })
{
    setObjectName(QStringLiteral("detail.codes"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 4, 8, 8);
    layout->setSpacing(6);
    hide();
    connect(&m_watcher, &QFutureWatcher<QList<ScreenshotCode>>::finished, this, [this] {
        const QFuture<QList<ScreenshotCode>> future = m_watcher.future();
        if (!future.isCanceled() && future.resultCount() > 0)
            setCodes(future.result());
    });
}

void DetailCodeList::load(const QFuture<QList<ScreenshotCode>> &codes)
{
    m_watcher.setFuture(codes);
}

void DetailCodeList::setCodes(const QList<ScreenshotCode> &codes)
{
    m_codes = codes;
    rebuild();
    Q_EMIT codesChanged(m_codes);
}

void DetailCodeList::rebuild()
{
    QLayout *column = layout();
    while (QLayoutItem *item = column->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    setVisible(!m_codes.isEmpty());
    if (m_codes.isEmpty())
        return;
    auto *heading = new QLabel(m_codes.size() == 1 ? QStringLiteral("Code in the image")
                                                   : QStringLiteral("Codes in the image"));
    heading->setAccessibleDescription(QStringLiteral("Heading"));
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    column->addWidget(heading);
    for (qsizetype i = 0; i < m_codes.size(); ++i) {
        const ScreenshotCode &code = m_codes.at(i);
        const int index = int(i);
        auto *row = new QWidget;
        row->setObjectName(QStringLiteral("detail.code%1").arg(index));
        row->setProperty("codeIndex", index);
        row->installEventFilter(this);
        auto *rowLayout = new QVBoxLayout(row);
        rowLayout->setContentsMargins(0, 0, 0, 0);
        rowLayout->setSpacing(2);
        auto *kind = new QLabel(code.isSecret()
                ? kindName(code) + QStringLiteral(" · one-time password, not searchable")
                : kindName(code));
        kind->setForegroundRole(QPalette::PlaceholderText);
        rowLayout->addWidget(kind);
        rowLayout->addWidget(codeTextView(code.text));
        auto *buttons = new QHBoxLayout;
        buttons->setSpacing(6);
        auto *copy = new QPushButton(QStringLiteral("Copy"));
        copy->setObjectName(QStringLiteral("detail.copyCode"));
        copy->setAccessibleName(QStringLiteral("Copy %1").arg(kindName(code)));
        connect(copy, &QPushButton::clicked, this, [this, index] { copyCode(index); });
        buttons->addWidget(copy);
        if (code.isWebLink()) {
            auto *open = new QPushButton(QStringLiteral("Open Link…"));
            open->setObjectName(QStringLiteral("detail.openCodeLink"));
            connect(open, &QPushButton::clicked, this, [this, index] { openLink(index); });
            buttons->addWidget(open);
        }
        buttons->addStretch(1);
        rowLayout->addLayout(buttons);
        column->addWidget(row);
    }
}

void DetailCodeList::copyCode(int index) const
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (index < 0 || index >= m_codes.size() || !clipboard)
        return;
    clipboard->setText(m_codes.at(index).text, QClipboard::Clipboard);
}

void DetailCodeList::showMenu(int index, const QPoint &globalPos)
{
    if (index < 0 || index >= m_codes.size())
        return;
    QMenu menu(this);
    menu.addAction(QStringLiteral("Copy %1").arg(kindName(m_codes.at(index))), this,
        [this, index] { copyCode(index); });
    if (m_codes.at(index).isWebLink())
        menu.addAction(QStringLiteral("Open Link…"), this, [this, index] { openLink(index); });
    menu.exec(globalPos);
}

bool DetailCodeList::openLink(int index)
{
    if (index < 0 || index >= m_codes.size() || !m_codes.at(index).isWebLink() || !m_dialogs)
        return false;
    const QString address = m_codes.at(index).text.trimmed();
    Dialogs::Alert alert;
    alert.style = Dialogs::AlertStyle::informational;
    alert.message = QStringLiteral("Open this link from the code in your browser?");
    alert.informativeText = address;
    alert.buttons = { QStringLiteral("Open Link"), QStringLiteral("Cancel") };
    if (m_dialogs->runAlert(alert) != 0)
        return false;
    if (!m_opener(QUrl(address, QUrl::StrictMode))) {
        qCWarning(lcShell, "Couldn't open a link from a code in the browser");
        return false;
    }
    return true;
}

bool DetailCodeList::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Enter)
        Q_EMIT codeHovered(watched->property("codeIndex").toInt());
    else if (event->type() == QEvent::Leave)
        Q_EMIT codeHovered(-1);
    return QWidget::eventFilter(watched, event);
}

} // namespace marlox
