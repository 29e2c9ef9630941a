#pragma once

// A large generated index shared by the search and list benchmarks, plus the
// small timing helpers they share.

#include <algorithm>
#include <vector>

#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QString>

#include "libraryfixture.h"
#include "storage/screenshotdatabase.h"

namespace marlox::bench {

inline double milliseconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

inline double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const double at = p * double(values.size() - 1);
    const auto low = size_t(at);
    const size_t high = std::min(low + 1, values.size() - 1);
    return values[low] + (values[high] - values[low]) * (at - double(low));
}

// Words a recogniser returns besides the everyday vocabulary: numbers, codes,
// and misread fragments, so the index holds many rare terms too.
inline QString noiseWord(QRandomGenerator &random)
{
    switch (random.bounded(3)) {
    case 0:
        return QString::number(random.bounded(100000));
    case 1:
        return QStringLiteral("ID-%1").arg(random.bounded(1000000), 6, 16, QLatin1Char('0'));
    default: {
        QString word;
        for (int j = 0, n = 3 + int(random.bounded(6)); j < n; ++j)
            word += QChar(u'a' + random.bounded(26));
        return word;
    }
    }
}

// Creates the index at path with `records` rows unless a file is already there.
inline void ensureIndex(const QString &path, int records)
{
    if (QFileInfo::exists(path))
        return;
    {
        ScreenshotDatabase schema(path);
    }
    QRandomGenerator random(11);
    QList<BulkRow> rows;
    rows.reserve(records);
    for (int i = 0; i < records; ++i) {
        QStringList lines = randomLines(random, 4 + int(random.bounded(12)), 8);
        for (int k = 0, n = int(random.bounded(12)); k < n; ++k)
            lines.append(noiseWord(random));
        const int folder = int(random.bounded(40));
        const bool inbox = random.bounded(5) == 0;
        rows.append({ inbox ? QStringLiteral("/home/user/Pictures/Screenshot %1.png").arg(i)
                            : QStringLiteral("/home/user/Pictures/Library/Folder %1/Screenshot "
                                             "%2.png")
                                  .arg(folder)
                                  .arg(i),
            QStringLiteral("Screenshot %1").arg(i),
            inbox ? QString() : QStringLiteral("Folder %1").arg(folder), 1.7e9 + i * 60.0,
            lines.join(QLatin1Char('\n')),
            inbox ? QStringLiteral("inbox") : QStringLiteral("filed") });
    }
    if (!bulkInsert(path, rows))
        qFatal("could not fill %s", qPrintable(path));
}

} // namespace marlox::bench
