#pragma once

#include <memory>

#include <QTemporaryDir>

#include "storage/screenshotdatabase.h"

namespace marlox::test {

// A fresh index in a temporary folder of its own, opened on first use:
// opening one takes a good part of a second, and most rows of a table test
// never touch it. Used like the pointer it replaces.
class LazyIndex
{
public:
    ScreenshotDatabase &operator*() { return get(); }
    ScreenshotDatabase *operator->() { return &get(); }
    void reset()
    {
        m_database.reset();
        m_dir.reset();
    }

private:
    ScreenshotDatabase &get()
    {
        if (!m_database) {
            m_dir = std::make_unique<QTemporaryDir>();
            m_database = std::make_unique<ScreenshotDatabase>(
                m_dir->filePath(QStringLiteral("index.sqlite3")));
        }
        return *m_database;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ScreenshotDatabase> m_database;
};

} // namespace marlox::test
