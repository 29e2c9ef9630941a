#pragma once

#include <optional>

#include <QWidget>

#include "storage/screenshotrecord.h"

class QLabel;
class QPushButton;

namespace marlox {

// The capture prompt's line for a capture whose bytes are already filed:
// where the filed one is, and a button that discards the new copy.
class FiledCopyNotice : public QWidget
{
    Q_OBJECT

public:
    explicit FiledCopyNotice(QWidget *parent = nullptr);

    // Shown for a filed record, hidden for none.
    void setFiledCopy(const std::optional<ScreenshotRecord> &record);
    static QString text(const ScreenshotRecord &record);
    QPushButton *discardButton() const { return m_discard; }

Q_SIGNALS:
    void discardRequested();

private:
    QLabel *m_text = nullptr;
    QPushButton *m_discard = nullptr;
};

} // namespace marlox
