#pragma once

#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;

namespace marlox {

class BacklogImport;
class FolderLocations;

// "Add the N screenshots already in <folder> to the Inbox", then the progress
// of doing so with a Cancel, then what came of it; hidden while there is
// nothing to offer. Follows the BacklogImport live.
class BacklogOffer : public QWidget
{
    Q_OBJECT

public:
    BacklogOffer(
        BacklogImport &backlog, const FolderLocations &locations, QWidget *parent = nullptr);

    // Counts the folder again (off the GUI thread); the offer follows.
    void refresh();

private:
    void update();

    BacklogImport &m_backlog;
    const FolderLocations &m_locations;
    QLabel *m_text;
    QPushButton *m_add;
    QProgressBar *m_bar;
    QPushButton *m_cancel;
};

} // namespace marlox
