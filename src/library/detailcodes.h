#pragma once

#include <functional>

#include <QFutureWatcher>
#include <QList>
#include <QPolygonF>
#include <QTransform>
#include <QUrl>
#include <QWidget>

#include "storage/screenshotcode.h"

class QPainter;

namespace marlox {

class Dialogs;

// Where the codes of an image show on it: geometry in image pixels, kept
// apart from the widgets so it can be tested directly.
namespace CodeOutlines {

// The code's outline in the coordinates `imageToView` maps to.
QPolygonF outline(const ScreenshotCode &code, const QTransform &imageToView);
// The code whose outline holds the image point, or -1.
int codeAt(const QList<ScreenshotCode> &codes, const QPointF &imagePoint);
// Draws every outline, the highlighted one (an index, or -1) stronger.
void paint(QPainter &painter, const QList<ScreenshotCode> &codes, const QTransform &imageToView,
    int highlighted);

} // namespace CodeOutlines

// The codes of the shown record under the recognised text: each one's kind
// and text (selectable), a Copy button and, for a web address, Open Link.
// Hidden while the record has none.
class DetailCodeList : public QWidget
{
    Q_OBJECT

public:
    DetailCodeList(Dialogs *dialogs, QWidget *parent = nullptr);

    // Shows the codes the future yields once it is done.
    void load(const QFuture<QList<ScreenshotCode>> &codes);
    void setCodes(const QList<ScreenshotCode> &codes);
    const QList<ScreenshotCode> &codes() const { return m_codes; }

    void copyCode(int index) const;
    // Copy and, for a web address, Open Link, for a right click on its outline.
    void showMenu(int index, const QPoint &globalPos);
    // Shows the whole address and opens it only when the user says so; a
    // link is never opened without asking. False when not opened.
    bool openLink(int index);
    // What opens a confirmed link; the desktop's browser unless replaced (tests).
    void setLinkOpener(std::function<bool(const QUrl &)> opener) { m_opener = std::move(opener); }

Q_SIGNALS:
    void codesChanged(const QList<marlox::ScreenshotCode> &codes);
    // The pointer is over a code's row (-1: over none).
    void codeHovered(int index);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void rebuild();

    Dialogs *m_dialogs = nullptr;
    QList<ScreenshotCode> m_codes;
    QFutureWatcher<QList<ScreenshotCode>> m_watcher;
    std::function<bool(const QUrl &)> m_opener;
};

} // namespace marlox
