#pragma once

#include <QList>
#include <QPointer>
#include <QWidget>

#include "storage/screenshotrecord.h"

class QLabel;
class QPushButton;
class QScrollArea;
class QTimer;
class QVBoxLayout;

namespace marlox {

class DuplicateActions;

// The library's Duplicates section: groups of identical files, each with
// "Keep one", and apart from them groups of similar pictures, which only
// ever lose what the user deletes one by one. Groups are found off the GUI
// thread; the view follows every change of the record list.
class DuplicatesView : public QWidget
{
    Q_OBJECT

public:
    // At most this many groups of each kind are laid out.
    static constexpr int shownGroups = 100;

    explicit DuplicatesView(DuplicateActions *actions, QWidget *parent = nullptr);

    static QString similarHeading() { return QStringLiteral("Similar, not identical"); }
    static QString keepOneToolTip(const ScreenshotRecord &kept);
    // The "Keep one" button of each identical group, in order (for tests).
    QList<QPushButton *> keepOneButtons() const { return m_keepButtons; }
    QLabel *statusLabel() const { return m_status; }

Q_SIGNALS:
    void openRequested(const marlox::ScreenshotRecord &record);
    void menuRequested(const marlox::ScreenshotRecord &record, const QPoint &globalPos);
    // A new listing was laid out.
    void groupsShown();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void scheduleSearch();
    void rebuild();
    QWidget *groupBox(const QList<ScreenshotRecord> &group, bool identical);
    QWidget *tile(const ScreenshotRecord &record, bool kept, QWidget *parent);
    void keepOne(const QList<ScreenshotRecord> &group);

    QPointer<DuplicateActions> m_actions;
    QLabel *m_status = nullptr;
    QScrollArea *m_scroll = nullptr;
    QWidget *m_content = nullptr;
    QVBoxLayout *m_groups = nullptr;
    QList<QPushButton *> m_keepButtons;
    QTimer *m_searchDelay = nullptr;
};

} // namespace marlox
