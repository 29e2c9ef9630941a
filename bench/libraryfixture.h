#pragma once

// Generated libraries for the library window's benchmark and demo programs.

#include <sqlite3.h>

#include <QColor>
#include <QDir>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

namespace marlox::bench {

// Points HOME and the XDG folders into `root` so nothing touches the real profile.
inline void isolateProfile(const QString &root)
{
    const auto set = [&](const char *name, const QString &sub) {
        const QString path = root + sub;
        QDir().mkpath(path);
        qputenv(name, path.toUtf8());
    };
    set("HOME", QString());
    set("XDG_CONFIG_HOME", QStringLiteral("/.config"));
    set("XDG_DATA_HOME", QStringLiteral("/.local/share"));
    set("XDG_CACHE_HOME", QStringLiteral("/.cache"));
    set("XDG_STATE_HOME", QStringLiteral("/.local/state"));
    if (qEnvironmentVariableIsEmpty("OMP_THREAD_LIMIT"))
        qputenv("OMP_THREAD_LIMIT", "1");
}

inline const QStringList &vocabulary()
{
    static const QStringList words = [] {
        const QStringList stems { "invoice", "meeting", "budget", "release", "server", "deploy",
            "error", "report", "design", "ticket", "order", "flight", "hotel", "receipt", "payment",
            "project", "review", "build", "commit", "branch", "customer", "contract", "schedule",
            "agenda", "summary", "dashboard", "metrics", "latency", "database", "window", "config",
            "account", "profile", "settings", "message", "channel", "document", "spreadsheet",
            "calendar", "reminder" };
        QStringList all;
        for (const QString &stem : stems) {
            all.append(stem);
            for (const char *suffix : { "s", "ed", "ing", "er", "al" })
                all.append(stem + QLatin1String(suffix));
        }
        return all;
    }();
    return words;
}

inline QStringList randomLines(QRandomGenerator &random, int lines, int wordsPerLine)
{
    const QStringList &words = vocabulary();
    QStringList result;
    for (int l = 0; l < lines; ++l) {
        QStringList line;
        for (int w = 0; w < wordsPerLine; ++w)
            line.append(words[random.bounded(static_cast<int>(words.size()))]);
        line[0][0] = line[0][0].toUpper();
        result.append(line.join(QLatin1Char(' ')));
    }
    return result;
}

// Something that looks like a screenshot of an application window.
inline QImage drawScreenshot(
    int seed, const QString &heading, const QStringList &lines, QSize size = QSize(1440, 900))
{
    QRandomGenerator random(static_cast<quint32>(seed));
    QImage image(size, QImage::Format_RGB32);
    const bool dark = random.bounded(4) == 0;
    const QColor background = dark ? QColor(34, 36, 42) : QColor(246, 246, 248);
    const QColor text = dark ? QColor(230, 230, 235) : QColor(30, 30, 36);
    const QColor accent = QColor::fromHsv(random.bounded(360), 150, 210);
    image.fill(background);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const int w = size.width();
    const int h = size.height();
    p.fillRect(0, 0, w, h / 14, accent.darker(dark ? 160 : 110));
    const bool sidebar = w > h && random.bounded(2) == 0;
    const int left = sidebar ? w / 5 : 0;
    if (sidebar) {
        p.fillRect(0, h / 14, left, h, dark ? QColor(44, 46, 54) : QColor(230, 231, 236));
        for (int i = 0; i < 8; ++i)
            p.fillRect(w / 60, h / 14 + 30 + i * 44, left - w / 30, 24,
                i == 2 ? accent : (dark ? QColor(64, 66, 76) : QColor(210, 212, 220)));
    }
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(std::max(18, h / 22));
    font.setBold(true);
    p.setFont(font);
    p.setPen(text);
    int y = h / 14 + h / 12;
    p.drawText(left + w / 24, y, heading);
    font.setBold(false);
    font.setPixelSize(std::max(14, h / 34));
    p.setFont(font);
    y += h / 16;
    for (const QString &line : lines) {
        if (y > h - 40)
            break;
        p.drawText(left + w / 24, y, line);
        y += h / 22;
    }
    if (random.bounded(3) == 0) {
        // A chart block.
        const QRect chart(left + w / 24, y, (w - left) / 2, std::min(h / 4, h - y - 20));
        p.fillRect(chart, dark ? QColor(50, 52, 60) : Qt::white);
        for (int i = 0; i < 10; ++i) {
            const int bh = random.bounded(std::max(10, chart.height() - 10));
            p.fillRect(chart.x() + 10 + i * (chart.width() - 20) / 10, chart.bottom() - bh,
                (chart.width() - 20) / 14, bh, accent);
        }
    }
    return image;
}

struct BulkRow
{
    QString path;
    QString title;
    QString folder;
    double createdAt = 0;
    QString ocrText;
    QString status;
};

// Fast insertion in one transaction; the table's triggers fill the search index.
inline bool bulkInsert(const QString &databasePath, const QList<BulkRow> &rows)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open(databasePath.toUtf8().constData(), &db) != SQLITE_OK)
        return false;
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt *stmt = nullptr;
    sqlite3_prepare_v2(db,
        "INSERT INTO screenshots (path, title, folder, created_at, ocr_text, content_hash, "
        "status, file_size) VALUES (?, ?, ?, ?, ?, '', ?, 1000)",
        -1, &stmt, nullptr);
    for (const BulkRow &row : rows) {
        const QByteArray path = row.path.toUtf8();
        const QByteArray title = row.title.toUtf8();
        const QByteArray folder = row.folder.toUtf8();
        const QByteArray text = row.ocrText.toUtf8();
        const QByteArray status = row.status.toUtf8();
        sqlite3_bind_text(stmt, 1, path.constData(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 2, title.constData(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 3, folder.constData(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_double(stmt, 4, row.createdAt);
        sqlite3_bind_text(stmt, 5, text.constData(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 6, status.constData(), -1, SQLITE_TRANSIENT);
        sqlite3_step(stmt);
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    const bool ok = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

} // namespace marlox::bench
