#pragma once

#include <cerrno>
#include <functional>
#include <optional>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QStringList>

#include "app/presenters.h"
#include "platform/dialogs.h"
#include "platform/errors.h"
#include "platform/trash.h"

namespace marlox::test {

// Answers panels and alerts from queued answers and records what was asked.
// An alert with no queued answer answers its default button (0).
class ScriptedDialogs : public Dialogs
{
public:
    QList<std::optional<QString>> folderAnswers;
    QList<std::optional<QString>> newFolderAnswers;
    QList<int> alertAnswers;

    QList<FolderPanel> folderPanels;
    QList<SavePanel> savePanels;
    QList<Alert> alerts;

    std::optional<QString> chooseFolder(const FolderPanel &panel) override
    {
        folderPanels.append(panel);
        return folderAnswers.isEmpty() ? std::nullopt : folderAnswers.takeFirst();
    }
    std::optional<QString> chooseNewFolder(const SavePanel &panel) override
    {
        savePanels.append(panel);
        return newFolderAnswers.isEmpty() ? std::nullopt : newFolderAnswers.takeFirst();
    }
    int runAlert(const Alert &alert) override
    {
        alerts.append(alert);
        return alertAnswers.isEmpty() ? 0 : alertAnswers.takeFirst();
    }
};

// Moves files into `folder`, or refuses like a read-only Trash, after losing
// the file on the way if asked; a `silent` one does not say where it put it.
class FolderTrasher : public FileTrashing
{
public:
    QString folder;
    bool refuse = false;
    bool loseFileFirst = false;
    bool silent = false;

    std::optional<QString> trash(const QString &path) override
    {
        if (loseFileFirst)
            QFile::remove(path);
        if (refuse)
            throw FileError(EACCES, path, QStringLiteral("trash"));
        const QString target = QDir(folder).filePath(QFileInfo(path).fileName());
        if (!QFile::rename(path, target))
            throw FileError(EIO, path, QStringLiteral("trash"));
        return silent ? std::nullopt : std::optional<QString>(target);
    }
};

// Records what the coordinator asks of the capture prompt.
class RecordingPrompt : public CapturePromptPresenter
{
public:
    QList<CapturePromptContent> shown;
    int closeCount = 0;
    int queueCount = 0;
    bool visible = false;
    int reopenCount = 0;

    void show(const CapturePromptContent &content) override
    {
        shown.append(content);
        queueCount = content.queueCount;
        visible = true;
    }
    void close() override
    {
        ++closeCount;
        visible = false;
        shown.clear();
    }
    bool hasModel() const override { return !shown.isEmpty(); }
    void setQueueCount(int count) override { queueCount = count; }
    std::optional<QRect> panelFrame() const override
    {
        return visible ? std::optional<QRect>(QRect(100, 100, 360, 300)) : std::nullopt;
    }
    bool isVisible() const override { return visible; }
    void reopen() override
    {
        ++reopenCount;
        visible = true;
    }
    const CapturePromptContent &current() const { return shown.constLast(); }
};

// Records toasts; tests fire undo or expiry by hand.
class RecordingToast : public UndoToastPresenter
{
public:
    struct Shown
    {
        std::function<void()> onUndo;
        std::function<void()> onExpire;
        QRect anchor;
    };
    QList<Shown> shown;
    int dismissCount = 0;
    bool isUp = false;

    void show(
        std::function<void()> onUndo, std::function<void()> onExpire, const QRect &anchor) override
    {
        shown.append({ std::move(onUndo), std::move(onExpire), anchor });
        isUp = true;
    }
    void dismiss() override
    {
        if (isUp)
            ++dismissCount;
        isUp = false;
    }
};

} // namespace marlox::test
