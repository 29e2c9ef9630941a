#pragma once

#include <optional>

#include <QString>
#include <QStringList>

namespace marlox {

// Modal panels and alerts behind one seam, so tests can answer them without
// blocking. The widget implementation lives in marlox_ui (shell/widgetdialogs.h).
class Dialogs
{
public:
    struct FolderPanel
    {
        QString message;
        QString startDirectory;
        bool canCreateDirectories = false;
    };
    struct SavePanel
    {
        QString message;
        QString startDirectory;
        QString proposedName;
        QString confirmTitle;
    };
    enum class AlertStyle { informational, warning, critical };
    struct Alert
    {
        AlertStyle style = AlertStyle::warning;
        QString message;
        QString informativeText;
        QStringList buttons; // first is the default; empty means a single "OK"
        int destructiveButton = -1; // index into buttons, or -1
    };

    virtual ~Dialogs() = default;
    // A directory the user picked, or none when cancelled.
    virtual std::optional<QString> chooseFolder(const FolderPanel &panel) = 0;
    // The location for a new folder the user named, or none when cancelled.
    virtual std::optional<QString> chooseNewFolder(const SavePanel &panel) = 0;
    // Runs modally; answers the index of the button pressed.
    virtual int runAlert(const Alert &alert) = 0;
};

} // namespace marlox
