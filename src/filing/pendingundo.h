#pragma once

#include <optional>

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

// Holds at most one undo: the last discard that can still be taken back.
struct PendingUndoSlot
{
    std::optional<PendingUndo> pending;

    void store(PendingUndo undo) { pending = std::move(undo); }
    std::optional<PendingUndo> take()
    {
        auto taken = std::move(pending);
        pending.reset();
        return taken;
    }
    void clear() { pending.reset(); }
};

} // namespace marlox
