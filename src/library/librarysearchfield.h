#pragma once

#include <QLineEdit>

namespace marlox {

// The library's search field. Escape empties it and hands the keyboard back
// to the grid, so a search is left the way it was started.
class LibrarySearchField : public QLineEdit
{
    Q_OBJECT

public:
    explicit LibrarySearchField(QWidget *parent = nullptr);

    // Takes the focus with the text selected, ready to be typed over.
    void focusForSearch();
    // Takes the focus and appends what was typed elsewhere.
    void continueTyping(const QString &text);

Q_SIGNALS:
    void leaveRequested();

protected:
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
};

} // namespace marlox
