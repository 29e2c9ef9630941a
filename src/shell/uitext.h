#pragma once

#include <QLabel>
#include <QString>

namespace marlox::UiText {

// Small helpers for the few text styles the windows share.
QLabel *title(const QString &text, QWidget *parent); // bold, larger; a heading
QLabel *headline(const QString &text, QWidget *parent); // bold; a section heading
QLabel *body(const QString &text, QWidget *parent); // wrapping body text
QLabel *caption(const QString &text, QWidget *parent); // smaller, secondary colour
void makeSecondary(QLabel *label);
void makeError(QLabel *label);
void makeConfirmation(QLabel *label); // green check mark in front

} // namespace marlox::UiText
