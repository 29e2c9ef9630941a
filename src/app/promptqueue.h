#pragma once

#include <optional>

#include <QList>
#include <QString>

#include "storage/screenshotrecord.h"

namespace marlox {

// Captures waiting for the user's decision; the first item is on screen.
// Lives only in memory: the records are already in the Inbox.
struct PromptQueue
{
    struct Item
    {
        ScreenshotRecord record;
        QString title;
        QString defaultTitle;
        std::optional<QString> initialFolder;
        std::optional<QString> initialError;
        // A filed record with the same bytes, when there is one.
        std::optional<ScreenshotRecord> filedCopy = {};
    };

    QList<Item> items;

    bool isEmpty() const { return items.isEmpty(); }
    int count() const { return int(items.size()); }
};

} // namespace marlox
