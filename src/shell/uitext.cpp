#include "shell/uitext.h"

#include <QAccessible>
#include <QPalette>

namespace marlox::UiText {

namespace {
QLabel *make(const QString &text, QWidget *parent, qreal scale, bool bold)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont font = label->font();
    if (scale != 1.0)
        font.setPointSizeF(font.pointSizeF() * scale);
    font.setBold(bold);
    label->setFont(font);
    return label;
}
} // namespace

QLabel *title(const QString &text, QWidget *parent)
{
    QLabel *label = make(text, parent, 1.45, true);
    label->setAccessibleDescription(QStringLiteral("heading"));
    return label;
}

QLabel *headline(const QString &text, QWidget *parent)
{
    QLabel *label = make(text, parent, 1.1, true);
    label->setAccessibleDescription(QStringLiteral("heading"));
    return label;
}

QLabel *body(const QString &text, QWidget *parent)
{
    return make(text, parent, 1.0, false);
}

QLabel *caption(const QString &text, QWidget *parent)
{
    QLabel *label = make(text, parent, 0.9, false);
    makeSecondary(label);
    return label;
}

void makeSecondary(QLabel *label)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
    label->setPalette(palette);
}

void makeError(QLabel *label)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, QColor(0xd0, 0x30, 0x30));
    label->setPalette(palette);
}

void makeConfirmation(QLabel *label)
{
    label->setText(QStringLiteral("<span style=\"color:#2e9e44\">&#10004;</span> ")
        + label->text().toHtmlEscaped());
    label->setTextFormat(Qt::RichText);
}

} // namespace marlox::UiText
