#pragma once

#include <functional>

#include <QLineEdit>

namespace marlox {

// Single-line fields of the capture prompt. They know nothing about
// screenshots: they turn the prompt's keys into the owner's actions and keep
// their text in step with a value the owner holds. The owner replaces the
// actions whenever it shows another capture, so the field always calls the
// newest ones.

// Return commits, Escape cancels, Ctrl+Backspace discards.
class CommitTextField : public QLineEdit
{
    Q_OBJECT

public:
    struct Actions
    {
        // Every change the user makes, keystroke by keystroke.
        std::function<void(const QString &)> textEdited;
        std::function<void()> onCommit;
        std::function<void()> onCancel;
        std::function<void()> onDiscard;
    };

    explicit CommitTextField(QWidget *parent = nullptr);

    void setActions(Actions actions) { m_actions = std::move(actions); }
    // Focus the field and select its text one event-loop turn after it is
    // first shown, so it is already in its window.
    void setSelectAllOnAppear(bool on) { m_selectAllOnAppear = on; }
    // The bound value changed elsewhere: take it and select all of it.
    void setBoundText(const QString &text);

protected:
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    Actions m_actions;
    bool m_selectAllOnAppear = false;
    bool m_appeared = false;
};

// Return accepts, Tab completes when the owner wants it, Up and Down move the
// owner's highlight, Escape cancels, Ctrl+Backspace discards; focus changes
// are reported.
class FolderAutocompleteField : public QLineEdit
{
    Q_OBJECT

public:
    struct Actions
    {
        std::function<void(const QString &)> textEdited;
        std::function<void()> onReturn;
        // Answers whether it used the key; if not, focus moves on as usual.
        std::function<bool()> onTab;
        std::function<void(int delta)> onMoveSelection;
        std::function<void()> onCancel;
        std::function<void()> onDiscard;
        std::function<void(bool focused)> onFocusChange;
    };

    explicit FolderAutocompleteField(QWidget *parent = nullptr);

    void setActions(Actions actions) { m_actions = std::move(actions); }
    // The bound value changed elsewhere: take it, leaving the selection alone.
    void setBoundText(const QString &text);

protected:
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    Actions m_actions;
};

namespace PromptKeys {
enum class Command { none, commit, cancel, discard, tab, moveUp, moveDown };
// The prompt's meaning of a key press; Ctrl+Backspace stands for
// "delete to the beginning of the line".
Command command(const QKeyEvent *event);
} // namespace PromptKeys

} // namespace marlox
