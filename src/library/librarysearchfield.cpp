#include "library/librarysearchfield.h"

#include <QKeyEvent>

namespace marlox {

namespace {
bool isPlainEscape(const QEvent *event)
{
    const auto *key = static_cast<const QKeyEvent *>(event);
    return key->key() == Qt::Key_Escape
        && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
}
} // namespace

LibrarySearchField::LibrarySearchField(QWidget *parent) : QLineEdit(parent)
{ }

void LibrarySearchField::focusForSearch()
{
    setFocus(Qt::ShortcutFocusReason);
    selectAll();
}

void LibrarySearchField::continueTyping(const QString &text)
{
    setFocus(Qt::OtherFocusReason);
    end(false);
    insert(text);
}

bool LibrarySearchField::event(QEvent *event)
{
    // Escape is ours even where a window shortcut would want it.
    if (event->type() == QEvent::ShortcutOverride && isPlainEscape(event)) {
        event->accept();
        return true;
    }
    return QLineEdit::event(event);
}

void LibrarySearchField::keyPressEvent(QKeyEvent *event)
{
    if (isPlainEscape(event)) {
        clear();
        Q_EMIT leaveRequested();
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

} // namespace marlox
