#pragma once

#include <optional>

#include <QList>
#include <QString>

namespace marlox {

// What is needed to bring one trashed screenshot back.
struct PendingUndo
{
    qint64 id = 0; // the record's, given back on restore
    QString originalPath;
    QString trashedURL; // absolute path of the file inside the Trash
    QString title;
    double createdAt = 0;
    QString ocrText;
    QString contentHash;
    bool operator==(const PendingUndo &) const = default;
};

// Holds at most one undo: the last discard that can still be taken back,
// with the others trashed by the same action (all but one of a duplicate group).
struct PendingUndoSlot
{
    std::optional<PendingUndo> pending;
    QList<PendingUndo> alongside;

    void store(PendingUndo undo, QList<PendingUndo> others = {})
    {
        pending = std::move(undo);
        alongside = std::move(others);
    }
    QList<PendingUndo> takeAll()
    {
        QList<PendingUndo> taken;
        if (pending)
            taken.append(std::move(*pending));
        taken.append(std::move(alongside));
        clear();
        return taken;
    }
    void clear()
    {
        pending.reset();
        alongside.clear();
    }
};

} // namespace marlox
