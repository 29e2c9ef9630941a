#pragma once

// Generated screenshots whose text is known, and the scores of a recogniser's
// output against that text. One logical layout is drawn at the display's
// scale, as a screenshot tool captures it: 1440x900 at 1x, 2880x1800 and
// 5120x2880 at 2x (1440x900 and 2560x1440 points).

#include <algorithm>
#include <vector>

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QHash>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

namespace marlox::bench {

// What part of the screen a line of text belongs to; small UI text at 1x is
// what recognisers read worst.
// Line numbers in an editor's gutter are kept apart: neither recogniser reads
// them, and they are rarely what anyone searches for.
// The hard cases come from real screen crops that read worse than the
// generated pages: low-contrast text, coloured text on coloured bars, 8-9 pt
// UI text at 1x, and a lone tiny line or a short window title on an
// otherwise empty screen.
enum class TextKind { heading, body, ui, small, lineNumbers, lowContrast, bars, tiny, lone };
constexpr int textKindCount = 9;

inline const char *textKindName(TextKind kind)
{
    switch (kind) {
    case TextKind::heading:
        return "headings";
    case TextKind::body:
        return "body text";
    case TextKind::ui:
        return "UI text (12-13 pt)";
    case TextKind::small:
        return "small text (10-11 pt)";
    case TextKind::lineNumbers:
        return "line numbers";
    case TextKind::lowContrast:
        return "low-contrast text";
    case TextKind::bars:
        return "coloured text on bars";
    case TextKind::tiny:
        return "tiny UI text (8-9 pt)";
    case TextKind::lone:
        return "lone line or title";
    }
    return "";
}

struct DrawnText
{
    QString text;
    TextKind kind = TextKind::body;
};

struct Scene
{
    QString layout; // document, list, code
    bool dark = false;
    int scale = 1;
    QImage image;
    QList<DrawnText> texts;

    QString sizeName() const
    {
        return QStringLiteral("%1x%2").arg(image.width()).arg(image.height());
    }
};

inline const QStringList &sceneVocabulary()
{
    static const QStringList words = QStringLiteral(
        "the quarterly report shows revenue growth across every region while support tickets fell "
        "after the new release customers asked for faster exports better search and offline "
        "access meeting notes action items owner deadline budget review design system colour "
        "tokens invoice payment overdue receipt attached shipping address tracking number "
        "delivered warehouse calendar invite tomorrow morning agenda follow up draft proposal "
        "contract signature legal approval pending server deploy pipeline failed retry build "
        "cache memory usage latency error rate dashboard alert threshold weekly summary project "
        "roadmap milestone launch marketing travel hotel flight booking account settings profile "
        "message channel document spreadsheet reminder schedule status update")
                                         .split(QLatin1Char(' '));
    return words;
}

namespace detail {

struct Palette
{
    bool dark = false;
    QColor wallpaperTop, wallpaperBottom, menuBar, menuInk, titleBar, page, ink, secondary, sidebar,
        sidebarInk, accent, selection, selectionInk, separator;
    QList<QColor> code;
};

inline Palette palette(bool dark)
{
    if (dark) {
        return { true, QColor(24, 38, 66), QColor(58, 32, 72), QColor(36, 36, 38),
            QColor(232, 232, 232), QColor(44, 44, 46), QColor(30, 30, 30), QColor(228, 228, 228),
            QColor(152, 152, 157), QColor(40, 40, 43), QColor(200, 200, 206), QColor(10, 132, 255),
            QColor(10, 80, 170), QColor(255, 255, 255), QColor(60, 60, 62),
            { QColor(156, 220, 254), QColor(206, 145, 120), QColor(220, 220, 170),
                QColor(197, 134, 192), QColor(212, 212, 212) } };
    }
    return { false, QColor(110, 150, 200), QColor(190, 160, 200), QColor(236, 236, 238),
        QColor(29, 29, 31), QColor(232, 232, 234), QColor(255, 255, 255), QColor(29, 29, 31),
        QColor(110, 110, 115), QColor(242, 242, 247), QColor(60, 60, 67), QColor(0, 110, 230),
        QColor(0, 99, 225), QColor(255, 255, 255), QColor(220, 220, 224),
        { QColor(0, 0, 160), QColor(163, 21, 21), QColor(121, 94, 38), QColor(175, 0, 219),
            QColor(40, 40, 40) } };
}

// Draws in points; the painter's scale turns them into device pixels.
class SceneDrawer
{
public:
    SceneDrawer(Scene &scene, QPainter &painter, quint32 seed)
        : m_scene(scene), m_p(painter), m_random(seed), m_colors(palette(scene.dark))
    { }

    const Palette &colors() const { return m_colors; }
    QPainter &painter() { return m_p; }
    QRandomGenerator &random() { return m_random; }

    QFont font(int px, bool bold, bool mono = false) const
    {
        QFont f(mono ? QStringLiteral("DejaVu Sans Mono") : QStringLiteral("DejaVu Sans"));
        f.setPixelSize(px);
        f.setBold(bold);
        return f;
    }

    // Random words that fit in `width` points at the font's size.
    QString words(const QFont &f, double width, int maxWords = 40, bool capital = true)
    {
        const QFontMetricsF metrics(f);
        const QStringList &vocabulary = sceneVocabulary();
        QString line;
        for (int i = 0; i < maxWords; ++i) {
            QString word = vocabulary.at(int(m_random.bounded(int(vocabulary.size()))));
            if (i == 0 && capital)
                word[0] = word[0].toUpper();
            const QString next = line.isEmpty() ? word : line + QLatin1Char(' ') + word;
            if (metrics.horizontalAdvance(next) > width)
                break;
            line = next;
        }
        return line;
    }

    void text(double x, double baseline, const QFont &f, const QColor &color, TextKind kind,
        const QString &text)
    {
        if (text.isEmpty())
            return;
        m_p.setFont(f);
        m_p.setPen(color);
        m_p.drawText(QPointF(x, baseline), text);
        m_scene.texts.append({ text, kind });
    }

    // A line of random words filling `width`, drawn and remembered.
    void line(double x, double baseline, double width, int px, bool bold, const QColor &color,
        TextKind kind, int maxWords = 40)
    {
        const QFont f = font(px, bold);
        text(x, baseline, f, color, kind, words(f, width, maxWords));
    }

private:
    Scene &m_scene;
    QPainter &m_p;
    QRandomGenerator m_random;
    Palette m_colors;
};

inline void drawDocument(SceneDrawer &d, const QRectF &w)
{
    const Palette &c = d.colors();
    QPainter &p = d.painter();
    const double sidebar = 220;
    p.fillRect(QRectF(w.left(), w.top(), sidebar, w.height()), c.sidebar);
    double y = w.top() + 28;
    d.line(w.left() + 16, y, sidebar - 32, 11, true, c.secondary, TextKind::small, 2);
    y += 24;
    for (int i = 0; y < w.bottom() - 60 && i < 14; ++i, y += 28) {
        if (i == 2) {
            p.fillRect(QRectF(w.left() + 8, y - 18, sidebar - 16, 26), c.selection);
            d.line(w.left() + 20, y, sidebar - 48, 13, false, c.selectionInk, TextKind::ui, 3);
        } else {
            d.line(w.left() + 20, y, sidebar - 48, 13, false, c.sidebarInk, TextKind::ui, 3);
        }
        if (i == 6) {
            y += 18;
            d.line(w.left() + 16, y, sidebar - 32, 11, true, c.secondary, TextKind::small, 2);
            y += 6;
        }
    }
    const double left = w.left() + sidebar + 48;
    const double width = std::min(720.0, w.right() - left - 48);
    y = w.top() + 56;
    d.line(left, y, width, 26, true, c.ink, TextKind::heading, 6);
    y += 26;
    d.line(left, y, width, 11, false, c.secondary, TextKind::small, 8);
    y += 36;
    while (y < w.bottom() - 48) {
        const int lines = 3 + int(d.random().bounded(4));
        for (int i = 0; i < lines && y < w.bottom() - 48; ++i, y += 21)
            d.line(left, y, i + 1 == lines ? width * 0.6 : width, 14, false, c.ink, TextKind::body);
        y += 14;
        if (d.random().bounded(3) == 0 && y < w.bottom() - 80) {
            d.line(left, y + 4, width, 18, true, c.ink, TextKind::heading, 5);
            y += 34;
        }
    }
    p.fillRect(QRectF(w.left() + sidebar, w.bottom() - 24, w.width() - sidebar, 24), c.sidebar);
    d.line(left, w.bottom() - 8, 300, 11, false, c.secondary, TextKind::small, 4);
}

inline void drawList(SceneDrawer &d, const QRectF &w)
{
    const Palette &c = d.colors();
    QPainter &p = d.painter();
    const double list = 340;
    p.fillRect(QRectF(w.left(), w.top(), list, w.height()), c.sidebar);
    double y = w.top();
    for (int row = 0; y + 72 < w.bottom(); ++row, y += 72) {
        const bool selected = row == 1;
        if (selected)
            p.fillRect(QRectF(w.left(), y, list, 72), c.selection);
        const QColor ink = selected ? c.selectionInk : c.ink;
        const QColor second = selected ? c.selectionInk : c.secondary;
        d.line(w.left() + 16, y + 20, list - 110, 13, true, ink, TextKind::ui, 2);
        const int day = 1 + int(d.random().bounded(28));
        d.text(w.left() + list - 80, y + 20, d.font(11, false), second, TextKind::small,
            QStringLiteral("%1 Mar").arg(day));
        d.line(w.left() + 16, y + 40, list - 32, 12, false, ink, TextKind::ui, 6);
        d.line(w.left() + 16, y + 58, list - 32, 12, false, second, TextKind::ui, 8);
        p.fillRect(QRectF(w.left() + 16, y + 71, list - 16, 1), c.separator);
    }
    const double left = w.left() + list + 40;
    const double width = std::min(760.0, w.right() - left - 40);
    y = w.top() + 44;
    d.line(left, y, width, 20, true, c.ink, TextKind::heading, 7);
    y += 26;
    d.line(left, y, width, 12, false, c.secondary, TextKind::ui, 6);
    y += 20;
    d.line(left, y, width, 11, false, c.secondary, TextKind::small, 6);
    y += 34;
    while (y < w.bottom() - 30) {
        const int lines = 2 + int(d.random().bounded(4));
        for (int i = 0; i < lines && y < w.bottom() - 30; ++i, y += 20)
            d.line(left, y, i + 1 == lines ? width * 0.5 : width, 13, false, c.ink, TextKind::body);
        y += 16;
    }
}

inline void drawCode(SceneDrawer &d, const QRectF &w)
{
    const Palette &c = d.colors();
    QPainter &p = d.painter();
    const double tree = 240;
    p.fillRect(QRectF(w.left(), w.top(), tree, w.height()), c.sidebar);
    double y = w.top() + 22;
    for (int i = 0; y < w.bottom() - 20; ++i, y += 22)
        d.line(w.left() + 14 + (i % 4 ? 14 : 0), y, tree - 40, 12, false, c.sidebarInk,
            TextKind::ui, 2);
    // Tabs, then the editor with line numbers, then a terminal.
    p.fillRect(QRectF(w.left() + tree, w.top(), w.width() - tree, 32), c.titleBar);
    for (int t = 0; t < 4; ++t)
        d.line(w.left() + tree + 16 + t * 170, w.top() + 21, 150, 12, false,
            t ? c.secondary : c.ink, TextKind::ui, 2);
    const double terminalTop = w.bottom() - std::max(140.0, w.height() * 0.22);
    const QFont mono = d.font(12, false, true);
    const QFontMetricsF metrics(mono);
    const double code = w.left() + tree + 64;
    const double width = w.right() - code - 24;
    y = w.top() + 56;
    for (int number = 1; y < terminalTop - 10; ++number, y += 19) {
        d.text(w.left() + tree + 12, y, mono, c.secondary, TextKind::lineNumbers,
            QString::number(number).rightJustified(3));
        if (d.random().bounded(6) == 0)
            continue;
        const int indent = int(d.random().bounded(4)) * 4;
        QStringList parts;
        const QStringList &vocabulary = sceneVocabulary();
        for (int k = 0, n = 2 + int(d.random().bounded(5)); k < n; ++k)
            parts << vocabulary.at(int(d.random().bounded(int(vocabulary.size()))));
        QString statement;
        switch (d.random().bounded(3)) {
        case 0:
            statement
                = QStringLiteral("%1 = %2(%3);")
                      .arg(parts.first(), parts.at(1), parts.mid(2).join(QStringLiteral(", ")));
            break;
        case 1:
            statement = QStringLiteral("if (%1.%2) {")
                            .arg(parts.first(), parts.mid(1).join(QStringLiteral(" && ")));
            break;
        default:
            statement = QStringLiteral("// ") + parts.join(QLatin1Char(' '));
        }
        const QString line = QString(indent, QLatin1Char(' ')) + statement;
        if (metrics.horizontalAdvance(line) > width)
            continue;
        d.text(code, y, mono, c.code.at(number % c.code.size()), TextKind::body, line);
    }
    p.fillRect(QRectF(w.left() + tree, terminalTop, w.width() - tree, 1), c.separator);
    y = terminalTop + 24;
    for (; y < w.bottom() - 10; y += 19) {
        const QString line = QStringLiteral("$ ") + d.words(mono, width, 10, false);
        d.text(w.left() + tree + 16, y, mono, c.ink, TextKind::body, line);
    }
}

// Pale text, labels on coloured bars and a status bar of tiny type.
inline void drawColour(SceneDrawer &d, const QRectF &w)
{
    const Palette &c = d.colors();
    QPainter &p = d.painter();
    const double left = w.left() + 40;
    const double width = std::min(720.0, w.width() - 80);
    double y = w.top() + 40;
    // Light orange on white; on a dark page its dim counterpart.
    const QColor pale = c.dark ? QColor(112, 84, 52) : QColor(255, 178, 102);
    for (int i = 0; i < 3; ++i, y += 22)
        d.line(left, y, width, 13, false, pale, TextKind::lowContrast, 8);
    y += 16;
    struct Bar
    {
        QColor fill, ink;
    };
    const QList<Bar> bars = { { QColor(52, 199, 89), Qt::white },
        { QColor(255, 59, 48), Qt::white }, { QColor(255, 204, 0), QColor(40, 40, 40) },
        { QColor(220, 235, 255), QColor(0, 90, 210) }, { QColor(175, 82, 222), Qt::white },
        { QColor(72, 72, 74), QColor(255, 159, 10) } };
    for (const Bar &bar : bars) {
        p.fillRect(QRectF(left, y, width * 0.7, 24), bar.fill);
        d.line(left + 10, y + 17, width * 0.7 - 20, 12, false, bar.ink, TextKind::bars, 5);
        y += 32;
    }
    y += 12;
    for (int row = 0; row < 4 && y < w.bottom() - 40; ++row, y += 14) {
        d.line(left, y, width * 0.45, 9, false, c.secondary, TextKind::tiny, 4);
        d.line(left + width * 0.5, y, width * 0.45, 9, false, c.ink, TextKind::tiny, 4);
    }
    // A log in small monospace type: dates, times and paths, where a misread
    // digit loses the very thing someone searches for.
    const QFont mono = d.font(11, false, true);
    const QStringList files = { QStringLiteral("src/main.py"), QStringLiteral("lib/report.cpp"),
        QStringLiteral("app/invoice.ts"), QStringLiteral("tools/deploy.sh") };
    y += 10;
    for (int row = 0; row < 4 && y < w.bottom() - 30; ++row, y += 16) {
        QRandomGenerator &r = d.random();
        const QString entry = QStringLiteral("%1 2026-%2-%3 %4:%5:%6 %7")
                                  .arg(row % 2 ? QStringLiteral("INFO") : QStringLiteral("ERROR"))
                                  .arg(1 + r.bounded(12), 2, 10, QLatin1Char('0'))
                                  .arg(1 + r.bounded(28), 2, 10, QLatin1Char('0'))
                                  .arg(r.bounded(24), 2, 10, QLatin1Char('0'))
                                  .arg(r.bounded(60), 2, 10, QLatin1Char('0'))
                                  .arg(r.bounded(60), 2, 10, QLatin1Char('0'))
                                  .arg(files.at(row));
        d.text(left, y, mono, c.ink, TextKind::small, entry);
    }
    p.fillRect(QRectF(w.left(), w.bottom() - 18, w.width(), 18), c.sidebar);
    d.line(w.left() + 12, w.bottom() - 6, 320, 8, false, c.secondary, TextKind::tiny, 6);
}

} // namespace detail

// A capture that is mostly empty: a small window showing only its short title,
// and one tiny line of text far from it, as a screen crop pasted onto a
// screen-sized canvas looks.
inline Scene drawSparseScene(QSize size, bool dark, quint32 seed)
{
    Scene scene;
    scene.layout = QStringLiteral("sparse");
    scene.dark = dark;
    scene.scale = size.width() >= 2560 ? 2 : 1;
    scene.image = QImage(size, QImage::Format_RGB32);
    const QSizeF points = QSizeF(size) / scene.scale;
    QPainter p(&scene.image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.scale(scene.scale, scene.scale);
    detail::SceneDrawer d(scene, p, seed);
    const detail::Palette &c = d.colors();
    p.fillRect(QRectF(QPointF(0, 0), points), c.page);
    const QRectF window(points.width() * 0.1, points.height() * 0.12, 360, 220);
    p.fillRect(window, c.sidebar);
    p.fillRect(QRectF(window.left(), window.top(), window.width(), 28), c.titleBar);
    const QFont title = d.font(13, true);
    const QString caption = d.words(title, 90, 1);
    d.text(window.center().x() - QFontMetricsF(title).horizontalAdvance(caption) / 2,
        window.top() + 19, title, c.ink, TextKind::lone, caption);
    d.line(points.width() * 0.45, points.height() * 0.78, 420, 10, false, c.ink, TextKind::lone, 6);
    return scene;
}

// One screenshot: wallpaper, menu bar, and a window of the given layout.
inline Scene drawScene(const QString &layout, QSize size, bool dark, quint32 seed)
{
    Scene scene;
    scene.layout = layout;
    scene.dark = dark;
    scene.scale = size.width() >= 2560 ? 2 : 1;
    scene.image = QImage(size, QImage::Format_RGB32);
    const QSizeF points = QSizeF(size) / scene.scale;
    QPainter p(&scene.image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.scale(scene.scale, scene.scale);
    detail::SceneDrawer d(scene, p, seed);
    const detail::Palette &c = d.colors();

    QLinearGradient wallpaper(0, 0, points.width(), points.height());
    wallpaper.setColorAt(0, c.wallpaperTop);
    wallpaper.setColorAt(1, c.wallpaperBottom);
    p.fillRect(QRectF(QPointF(0, 0), points), wallpaper);

    // The menu bar across the top, with a clock at the right.
    p.fillRect(QRectF(0, 0, points.width(), 24), c.menuBar);
    double x = 16;
    const QFont menu = d.font(13, false);
    const QFontMetricsF metrics(menu);
    for (int i = 0; i < 6; ++i) {
        const QString item = d.words(d.font(13, i == 0), 120, 1);
        d.text(x, 17, d.font(13, i == 0), c.menuInk, TextKind::ui, item);
        x += metrics.horizontalAdvance(item) + 22;
    }
    const QString clock = QStringLiteral("Thu %1 Mar %2:%3")
                              .arg(1 + seed % 28)
                              .arg(8 + seed % 12)
                              .arg(seed % 60, 2, 10, QLatin1Char('0'));
    d.text(points.width() - metrics.horizontalAdvance(clock) - 16, 17, menu, c.menuInk,
        TextKind::ui, clock);

    // The window, with a title bar.
    const QRectF frame(points.width() * 0.04, 24 + points.height() * 0.03, points.width() * 0.92,
        points.height() - 24 - points.height() * 0.06);
    p.fillRect(frame, c.page);
    p.fillRect(QRectF(frame.left(), frame.top(), frame.width(), 28), c.titleBar);
    const QFont title = d.font(13, true);
    const QString caption = d.words(title, 400, 4);
    d.text(frame.center().x() - QFontMetricsF(title).horizontalAdvance(caption) / 2,
        frame.top() + 19, title, c.ink, TextKind::ui, caption);
    // A toolbar: buttons with white labels on the accent colour, a search
    // field with its pale placeholder, and a row of small grey labels.
    const double bar = frame.top() + 28;
    p.fillRect(QRectF(frame.left(), bar, frame.width(), 38), c.titleBar);
    p.fillRect(QRectF(frame.left(), bar + 37, frame.width(), 1), c.separator);
    const QFont button = d.font(12, false);
    double bx = frame.left() + 16;
    for (int i = 0; i < 3; ++i) {
        const QString label = d.words(button, 110, 2);
        const double width = QFontMetricsF(button).horizontalAdvance(label) + 20;
        p.setPen(Qt::NoPen);
        p.setBrush(i == 0 ? c.accent : c.separator);
        p.drawRoundedRect(QRectF(bx, bar + 7, width, 24), 5, 5);
        d.text(
            bx + 10, bar + 23, button, i == 0 ? QColor(255, 255, 255) : c.ink, TextKind::ui, label);
        bx += width + 10;
    }
    const QRectF field(frame.right() - 276, bar + 7, 260, 24);
    p.setBrush(c.page);
    p.drawRoundedRect(field, 6, 6);
    p.setBrush(Qt::NoBrush);
    d.text(field.left() + 10, bar + 23, button,
        c.dark ? QColor(120, 120, 126) : QColor(165, 165, 170), TextKind::ui,
        d.words(button, 200, 3));
    double lx = bx + 30;
    for (int i = 0; i < 4 && lx < field.left() - 120; ++i) {
        const QString label = d.words(d.font(10, false), 100, 1);
        d.text(lx, bar + 23, d.font(10, false), c.secondary, TextKind::small, label);
        lx += QFontMetricsF(d.font(10, false)).horizontalAdvance(label) + 24;
    }
    const QRectF content(frame.left(), bar + 38, frame.width(), frame.height() - 66);
    if (layout == QLatin1String("list"))
        detail::drawList(d, content);
    else if (layout == QLatin1String("colour"))
        detail::drawColour(d, content);
    else if (layout == QLatin1String("code"))
        detail::drawCode(d, content);
    else
        detail::drawDocument(d, content);
    return scene;
}

inline QStringList layoutNames()
{
    return { QStringLiteral("document"), QStringLiteral("list"), QStringLiteral("code") };
}

// The hard cases, drawn once per size and theme beside the layouts above.
inline QStringList hardLayoutNames()
{
    return { QStringLiteral("colour"), QStringLiteral("sparse") };
}

inline Scene drawAnyScene(const QString &layout, QSize size, bool dark, quint32 seed)
{
    return layout == QLatin1String("sparse") ? drawSparseScene(size, dark, seed)
                                             : drawScene(layout, size, dark, seed);
}

// ---- scoring

inline QStringList wordsOf(const QString &text)
{
    static const QRegularExpression separators(QStringLiteral("[^\\p{L}\\p{N}]+"));
    return text.toLower().split(separators, Qt::SkipEmptyParts);
}

struct Score
{
    // Word recall, counting repeats, by kind of text.
    int found[textKindCount] = {};
    int words[textKindCount] = {};
    // Character edits over drawn characters (each drawn text aligned to the
    // output line it fits best).
    qint64 edits = 0;
    qint64 characters = 0;
    QStringList missed;

    static int sum(const int (&counts)[textKindCount])
    {
        int total = 0;
        for (int count : counts)
            total += count;
        return total;
    }

    int foundTotal() const { return sum(found); }
    int wordTotal() const { return sum(words); }
    double recall() const { return wordTotal() ? double(foundTotal()) / wordTotal() : 1.0; }
    double recallWithout(TextKind kind) const
    {
        const int total = wordTotal() - words[int(kind)];
        return total ? double(foundTotal() - found[int(kind)]) / total : 1.0;
    }
    double cer() const { return characters ? double(edits) / double(characters) : 0.0; }
    void add(const Score &other)
    {
        for (int k = 0; k < textKindCount; ++k) {
            found[k] += other.found[k];
            words[k] += other.words[k];
        }
        edits += other.edits;
        characters += other.characters;
    }
};

namespace detail {

// Edits to turn `drawn` into some substring of `output` (free start and end).
inline int substringDistance(const QString &drawn, const QString &output)
{
    const int m = int(drawn.size());
    const int n = int(output.size());
    std::vector<int> previous(size_t(n) + 1, 0);
    std::vector<int> current(size_t(n) + 1, 0);
    for (int i = 1; i <= m; ++i) {
        current[0] = i;
        for (int j = 1; j <= n; ++j) {
            const int substitute
                = previous[size_t(j - 1)] + (drawn[i - 1] == output[j - 1] ? 0 : 1);
            current[size_t(j)]
                = std::min({ substitute, previous[size_t(j)] + 1, current[size_t(j - 1)] + 1 });
        }
        std::swap(previous, current);
    }
    return *std::min_element(previous.begin(), previous.end());
}

inline QString simplified(const QString &text)
{
    return text.simplified();
}

} // namespace detail

inline Score score(const QList<DrawnText> &drawn, const QString &output)
{
    Score result;
    QHash<QString, int> available;
    for (const QString &word : wordsOf(output))
        ++available[word];
    for (const DrawnText &item : drawn) {
        const int kind = int(item.kind);
        for (const QString &word : wordsOf(item.text)) {
            ++result.words[kind];
            int &left = available[word];
            if (left > 0) {
                --left;
                ++result.found[kind];
            } else {
                result.missed << word;
            }
        }
    }

    // Character errors: only output lines sharing a word with the drawn text
    // are worth aligning.
    QStringList lines;
    QHash<QString, QList<int>> linesByWord;
    for (const QString &raw : output.split(QLatin1Char('\n'))) {
        const QString line = detail::simplified(raw);
        if (line.isEmpty())
            continue;
        for (const QString &word : wordsOf(line))
            linesByWord[word].append(int(lines.size()));
        lines << line;
    }
    for (const DrawnText &item : drawn) {
        const QString text = detail::simplified(item.text);
        result.characters += text.size();
        int best = int(text.size());
        QList<int> tried;
        for (const QString &word : wordsOf(text)) {
            for (int index : linesByWord.value(word)) {
                if (tried.contains(index))
                    continue;
                tried << index;
                best = std::min(best, detail::substringDistance(text, lines.at(index)));
            }
        }
        result.edits += best;
    }
    return result;
}

} // namespace marlox::bench
