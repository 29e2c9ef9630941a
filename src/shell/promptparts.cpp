#include "shell/promptparts.h"

#include <algorithm>

#include <QAccessible>
#include <QAccessibleWidget>
#include <QLabel>
#include <QVBoxLayout>

#include "widgets/fonts.h"

namespace marlox::PromptParts {

using FolderManagementService::FolderSuggestion;

namespace {

// ---- accessibility: suggestion rows are selectable buttons, the heading is a
// heading, the small captions above the fields are not read out.

class SuggestionRowAccessible : public QAccessibleWidget
{
public:
    explicit SuggestionRowAccessible(FolderSuggestionRow *row)
        : QAccessibleWidget(row, QAccessible::Button)
    { }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name)
            return row()->text();
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.selectable = true;
        s.selected = row()->isHighlighted();
        return s;
    }
    QStringList actionNames() const override { return { pressAction() }; }
    void doAction(const QString &action) override
    {
        if (action == pressAction())
            row()->click();
    }

private:
    FolderSuggestionRow *row() const { return static_cast<FolderSuggestionRow *>(widget()); }
};

class LabelAccessible : public QAccessibleWidget
{
public:
    LabelAccessible(QLabel *label, QAccessible::Role role, bool hidden)
        : QAccessibleWidget(label, role), m_hidden(hidden)
    { }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name && !m_hidden)
            return static_cast<QLabel *>(widget())->text();
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        if (m_hidden)
            s.invisible = true;
        return s;
    }

private:
    bool m_hidden;
};

QAccessibleInterface *promptAccessibleFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("marlox::FolderSuggestionRow"))
        return new SuggestionRowAccessible(static_cast<FolderSuggestionRow *>(object));
    if (className == QLatin1String("QLabel")) {
        const QByteArray role = object->property(accessibleRoleProperty).toByteArray();
        if (role == "heading")
            return new LabelAccessible(static_cast<QLabel *>(object), QAccessible::Heading, false);
        if (role == "hidden")
            return new LabelAccessible(
                static_cast<QLabel *>(object), QAccessible::StaticText, true);
    }
    return nullptr;
}

} // namespace

QFont caption2Font(const QFont &base)
{
    return scaledFont(base, 0.85);
}
QFont calloutFont(const QFont &base)
{
    return scaledFont(base, 0.93);
}

QColor secondaryColor(const QPalette &palette)
{
    return palette.color(QPalette::PlaceholderText);
}

QString suggestionText(const FolderSuggestion &suggestion)
{
    if (suggestion.kind == FolderSuggestion::Kind::createNew)
        return QStringLiteral("Create folder “") + suggestion.name + QStringLiteral("”");
    return suggestion.name;
}

void installAccessibleFactory()
{
    static bool installed = false;
    if (!installed) {
        QAccessible::installFactory(promptAccessibleFactory);
        installed = true;
    }
}

QLabel *captionLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setFont(caption2Font(parent->font()));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, secondaryColor(palette));
    label->setPalette(palette);
    label->setProperty(accessibleRoleProperty, QByteArrayLiteral("hidden"));
    return label;
}

QVBoxLayout *fieldBlock(QLabel *caption, QWidget *field)
{
    auto *block = new QVBoxLayout;
    block->setSpacing(4);
    block->setContentsMargins(0, 0, 0, 0);
    block->addWidget(caption, 0, Qt::AlignLeft);
    block->addWidget(field);
    return block;
}

} // namespace marlox::PromptParts
