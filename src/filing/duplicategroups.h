#pragma once

#include <optional>

#include <QByteArray>
#include <QList>
#include <QString>

namespace marlox::DuplicateGroups {

// What grouping needs of one record.
struct Entry
{
    qint64 id = 0;
    QString contentHash; // empty: not hashed yet
    std::optional<quint64> perceptualHash; // coarse
    QByteArray perceptualDetail; // fine
};

struct Groups
{
    // Records with the same bytes, each group in input order.
    QList<QList<qint64>> identical;
    // Records whose pictures are a few bits apart but whose bytes are not
    // all the same, each group in input order.
    QList<QList<qint64>> similar;
};

// Groups of two or more. Identical files bucket by hash. Similar pictures
// are compared only within buckets of equal 13-bit bands of the coarse
// perceptual hash: five bands, so two hashes at most four bits apart share
// one band whole and are always compared; the fine hashes then decide.
Groups group(const QList<Entry> &entries);

} // namespace marlox::DuplicateGroups
