#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPushButton>
#include <QWidget>

#include "shell/captureprompt.h"

class QLabel;
class QVBoxLayout;

// The capture prompt's building blocks, shared by its view and its
// accessibility support.
namespace marlox::PromptParts {

QFont caption2Font(const QFont &base);
QFont calloutFont(const QFont &base);
QColor secondaryColor(const QPalette &palette);
inline const QColor destructiveRed(0xd7, 0x26, 0x26);

QString suggestionText(const FolderManagementService::FolderSuggestion &suggestion);

// Labels carry their role for assistive technology in this property:
// "heading", or "hidden" for the small captions above the fields.
inline constexpr char accessibleRoleProperty[] = "marloxAccessibleRole";
void installAccessibleFactory();

// A small grey caption, not read out, above a field.
QLabel *captionLabel(const QString &text, QWidget *parent);
QVBoxLayout *fieldBlock(QLabel *caption, QWidget *field);

// ---- preview: the image fitted into 320 × 180 on a faint rounded backdrop.
class PreviewView : public QWidget
{
public:
    explicit PreviewView(QWidget *parent) : QWidget(parent)
    {
        setFixedSize(CapturePromptView::previewSize);
    }
    void setImage(const QImage &image)
    {
        m_image = image;
        update();
    }
    const QImage &image() const { return m_image; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        QPainterPath clip;
        clip.addRoundedRect(QRectF(rect()), 8, 8);
        painter.setClipPath(clip);
        painter.fillRect(rect(), QColor(0, 0, 0, 13));
        if (m_image.isNull())
            return;
        const QSize fitted = m_image.size().scaled(size(), Qt::KeepAspectRatio);
        const QRect target(
            QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted);
        painter.drawImage(target, m_image);
    }

private:
    QImage m_image;
};

// ---- the rounded box that holds the suggestion rows.
class SuggestionBox : public QWidget
{
public:
    explicit SuggestionBox(QWidget *parent) : QWidget(parent) { }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor border = palette().color(QPalette::WindowText);
        border.setAlphaF(0.15);
        painter.setPen(QPen(border, 1));
        painter.setBrush(palette().color(QPalette::Base));
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    }
};

// A push button whose keyboard focus is plain to see in any style, even on
// the accent-coloured Save button; the mouse does not take the focus from the
// fields.
class PromptButton : public QPushButton
{
public:
    PromptButton(const QString &text, QWidget *parent) : QPushButton(text, parent)
    {
        setFocusPolicy(Qt::TabFocus);
    }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QPushButton::paintEvent(event);
        if (!hasFocus())
            return;
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(Qt::NoBrush);
        const QRectF outer = QRectF(rect()).adjusted(1, 1, -1, -1);
        painter.setPen(QPen(parentWidget()->palette().color(QPalette::Highlight), 2));
        painter.drawRoundedRect(outer, 4, 4);
        painter.setPen(QPen(palette().color(QPalette::HighlightedText), 1));
        painter.drawRoundedRect(outer.adjusted(1.5, 1.5, -1.5, -1.5), 3, 3);
    }
};

} // namespace marlox::PromptParts
