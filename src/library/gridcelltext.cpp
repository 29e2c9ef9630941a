#include "library/gridcelltext.h"

#include <QFontMetrics>
#include <QLocale>
#include <QTextLayout>

#include "library/librarysorting.h"

namespace marlox::GridCellText {

QStringList titleLines(const QString &title, const QFont &font, int width)
{
    QTextLayout layout(title, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    QStringList lines;
    while (lines.size() < maxTitleLines) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        const bool last = lines.size() == maxTitleLines - 1;
        // The last line takes the rest of the title and elides it.
        const int length = last ? int(title.size()) - line.textStart() : line.textLength();
        lines.append(title.mid(line.textStart(), length).trimmed());
    }
    layout.endLayout();
    if (!lines.isEmpty())
        lines.last() = QFontMetrics(font).elidedText(lines.last(), Qt::ElideRight, width);
    return lines;
}

QString toolTip(const ScreenshotRecord &record)
{
    const QString place = record.status == ScreenshotStatus::inbox
        ? QStringLiteral("Inbox")
        : QStringLiteral("Folder: ") + record.folder;
    const QString taken
        = QLocale().toString(record.createdAtDateTime().toLocalTime(), QLocale::LongFormat);
    return LibrarySorting::shownTitle(record) + u'\n' + place + u'\n' + QStringLiteral("Taken ")
        + taken;
}

} // namespace marlox::GridCellText
