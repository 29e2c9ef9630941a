#include "shell/prompttextfields.h"

#include <functional>
#include <initializer_list>
#include <type_traits>
#include <utility>

#include <QFocusEvent>
#include <QKeyEvent>
#include <QPointer>
#include <QTimer>

namespace marlox {

namespace {
// An action may replace the field's actions (the prompt moves on to the next
// capture) while it runs, so it is copied before it is called.
template <typename F, typename... Args> auto run(const F &action, Args &&...args)
{
    const F copy = action;
    if constexpr (std::is_same_v<decltype(copy(std::forward<Args>(args)...)), bool>)
        return copy ? copy(std::forward<Args>(args)...) : false;
    else if (copy)
        copy(std::forward<Args>(args)...);
}
} // namespace

namespace PromptKeys {
Command command(const QKeyEvent *event)
{
    const Qt::KeyboardModifiers modifiers
        = event->modifiers() & ~(Qt::KeypadModifier | Qt::GroupSwitchModifier);
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return modifiers == Qt::NoModifier ? Command::commit : Command::none;
    case Qt::Key_Escape:
        return modifiers == Qt::NoModifier ? Command::cancel : Command::none;
    case Qt::Key_Backspace:
        return modifiers == Qt::ControlModifier ? Command::discard : Command::none;
    case Qt::Key_Tab:
        return modifiers == Qt::NoModifier ? Command::tab : Command::none;
    case Qt::Key_Up:
        return modifiers == Qt::NoModifier ? Command::moveUp : Command::none;
    case Qt::Key_Down:
        return modifiers == Qt::NoModifier ? Command::moveDown : Command::none;
    default:
        return Command::none;
    }
}
} // namespace PromptKeys

using PromptKeys::Command;

namespace {
using KeyBinding = std::pair<Command, std::function<void()>>;

// Accepts the key and runs what its command is bound to; false leaves the key
// to the line edit.
bool runBoundCommand(QKeyEvent *event, std::initializer_list<KeyBinding> bindings)
{
    const Command command = PromptKeys::command(event);
    for (const auto &[bound, handler] : bindings) {
        if (bound == command) {
            event->accept();
            handler();
            return true;
        }
    }
    return false;
}
} // namespace

// ---- CommitTextField

CommitTextField::CommitTextField(QWidget *parent) : QLineEdit(parent)
{
    connect(this, &QLineEdit::textEdited, this,
        [this](const QString &text) { run(m_actions.textEdited, text); });
}

void CommitTextField::setBoundText(const QString &text)
{
    if (this->text() == text)
        return;
    setText(text);
    selectAll();
}

bool CommitTextField::event(QEvent *event)
{
    // Claim our keys before any window shortcut (the Discard button's) sees them.
    if (event->type() == QEvent::ShortcutOverride) {
        const Command command = PromptKeys::command(static_cast<QKeyEvent *>(event));
        if (command == Command::commit || command == Command::cancel
            || command == Command::discard) {
            event->accept();
            return true;
        }
    }
    return QLineEdit::event(event);
}

void CommitTextField::keyPressEvent(QKeyEvent *event)
{
    const bool handled = runBoundCommand(event,
        { { Command::commit, [this] { run(m_actions.onCommit); } },
            { Command::cancel, [this] { run(m_actions.onCancel); } },
            { Command::discard, [this] { run(m_actions.onDiscard); } } });
    if (!handled)
        QLineEdit::keyPressEvent(event);
}

void CommitTextField::showEvent(QShowEvent *event)
{
    QLineEdit::showEvent(event);
    if (!m_selectAllOnAppear || m_appeared)
        return;
    m_appeared = true;
    QTimer::singleShot(0, this, [field = QPointer<CommitTextField>(this)] {
        if (!field)
            return;
        if (field->window())
            field->setFocus(Qt::OtherFocusReason);
        field->selectAll();
    });
}

// ---- FolderAutocompleteField

FolderAutocompleteField::FolderAutocompleteField(QWidget *parent) : QLineEdit(parent)
{
    connect(this, &QLineEdit::textEdited, this,
        [this](const QString &text) { run(m_actions.textEdited, text); });
}

void FolderAutocompleteField::setBoundText(const QString &text)
{
    if (this->text() != text)
        setText(text);
}

bool FolderAutocompleteField::event(QEvent *event)
{
    if (event->type() == QEvent::ShortcutOverride) {
        const Command command = PromptKeys::command(static_cast<QKeyEvent *>(event));
        if (command != Command::none && command != Command::tab) {
            event->accept();
            return true;
        }
    }
    // Tab would move the focus inside QWidget::event before keyPressEvent.
    if (event->type() == QEvent::KeyPress
        && PromptKeys::command(static_cast<QKeyEvent *>(event)) == Command::tab) {
        if (run(m_actions.onTab)) {
            event->accept();
            return true;
        }
    }
    return QLineEdit::event(event);
}

void FolderAutocompleteField::keyPressEvent(QKeyEvent *event)
{
    const bool handled = runBoundCommand(event,
        { { Command::commit, [this] { run(m_actions.onReturn); } },
            { Command::moveUp, [this] { run(m_actions.onMoveSelection, -1); } },
            { Command::moveDown, [this] { run(m_actions.onMoveSelection, 1); } },
            { Command::cancel, [this] { run(m_actions.onCancel); } },
            { Command::discard, [this] { run(m_actions.onDiscard); } } });
    if (!handled)
        QLineEdit::keyPressEvent(event);
}

void FolderAutocompleteField::focusInEvent(QFocusEvent *event)
{
    QLineEdit::focusInEvent(event);
    run(m_actions.onFocusChange, true);
}

void FolderAutocompleteField::focusOutEvent(QFocusEvent *event)
{
    QLineEdit::focusOutEvent(event);
    // Another application coming to the front does not end editing; leaving
    // the field inside the panel does.
    if (event->reason() != Qt::ActiveWindowFocusReason)
        run(m_actions.onFocusChange, false);
}

} // namespace marlox
