#pragma once

#include <functional>
#include <optional>

#include <QAbstractButton>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QRectF>
#include <QStringList>
#include <QWidget>

#include "app/presenters.h"
#include "filing/foldermanagementservice.h"

class QLabel;
class QLayout;
class QPushButton;

namespace marlox {

class CommitTextField;
class FiledCopyNotice;
class FolderAutocompleteField;

// What the prompt shows for one capture. A new model is made for every
// capture; the view redraws from its notifications.
class CapturePromptModel : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString errorMessage READ errorText NOTIFY errorMessageChanged)
    Q_PROPERTY(QString title READ title WRITE setTitle NOTIFY titleChanged)
    Q_PROPERTY(int queueCount READ queueCount WRITE setQueueCount NOTIFY queueCountChanged)
    Q_PROPERTY(QString folder READ folder WRITE setFolder NOTIFY folderChanged)
    Q_PROPERTY(int folderSuggestionIndex READ folderSuggestionIndex WRITE setFolderSuggestionIndex
            NOTIFY folderSuggestionIndexChanged)
    Q_PROPERTY(bool isFolderFieldFocused READ isFolderFieldFocused WRITE setFolderFieldFocused
            NOTIFY isFolderFieldFocusedChanged)
    Q_PROPERTY(QString defaultTitle READ defaultTitle CONSTANT)

public:
    CapturePromptModel(const QString &title, int queueCount, const QString &folder,
        const QString &defaultTitle, QObject *parent = nullptr);

    std::optional<QString> errorMessage() const { return m_errorMessage; }
    QString errorText() const { return m_errorMessage.value_or(QString()); }
    void setErrorMessage(const std::optional<QString> &message);
    QString title() const { return m_title; }
    void setTitle(const QString &title);
    int queueCount() const { return m_queueCount; }
    void setQueueCount(int count);
    QString folder() const { return m_folder; }
    void setFolder(const QString &folder);
    int folderSuggestionIndex() const { return m_folderSuggestionIndex; }
    void setFolderSuggestionIndex(int index);
    bool isFolderFieldFocused() const { return m_isFolderFieldFocused; }
    void setFolderFieldFocused(bool focused);
    QString defaultTitle() const { return m_defaultTitle; }

Q_SIGNALS:
    void errorMessageChanged();
    void titleChanged();
    void queueCountChanged();
    void folderChanged();
    void folderSuggestionIndexChanged();
    void isFolderFieldFocusedChanged();

private:
    std::optional<QString> m_errorMessage;
    QString m_title;
    int m_queueCount = 1;
    QString m_folder;
    int m_folderSuggestionIndex = 0;
    bool m_isFolderFieldFocused = false;
    const QString m_defaultTitle;
};

// Where the panel goes and how it follows its content. Qt's y grows
// downward, so "top edge fixed" keeps y.
namespace CapturePromptGeometry {
constexpr int width = 360;
constexpr int margin = 20;
constexpr qreal resizeThreshold = 0.5;

struct Screen
{
    QRect frame;
    QRect available;
};
// Top-left of a panel of `size`: 20 points in from the top-right corner of
// the available area of the screen under the pointer (else the first screen).
QPoint placement(const QList<Screen> &screens, const QPoint &pointer, const QSize &size);
// The frame for a new content height, or none when it moved 0.5 points or less.
std::optional<QRectF> resized(const QRectF &frame, qreal contentHeight);
} // namespace CapturePromptGeometry

// One suggestion in the list under the folder field; clicking it fills the
// field, it never takes the focus.
class FolderSuggestionRow : public QAbstractButton
{
    Q_OBJECT

public:
    explicit FolderSuggestionRow(QWidget *parent = nullptr);
    void setHighlighted(bool on);
    bool isHighlighted() const { return m_highlighted; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_highlighted = false;
};

// The content of the panel: header, preview, the two fields with the
// suggestion list, the error line, the buttons and the hint line.
class CapturePromptView : public QWidget
{
    Q_OBJECT

public:
    struct Actions
    {
        std::function<std::optional<QString>(const QString &title, const QString &folder)> save;
        std::function<void(const std::optional<QString> &typedTitle)> skip;
        std::function<void()> discard;
    };

    static constexpr QSize previewSize { 320, 180 };

    explicit CapturePromptView(QWidget *parent = nullptr);

    // Shows another capture in the same widgets: the fields are updated, not
    // made again, so focus stays where it is.
    void setContent(CapturePromptModel *model, const QStringList &folders, Actions actions);
    // A filed record with the same bytes as this capture, or none.
    void setFiledCopy(const std::optional<ScreenshotRecord> &record);
    FiledCopyNotice *filedCopyNotice() const { return m_filedCopy; }
    void setThumbnail(const QImage &image);
    void setPreviewReserved(bool reserved);
    CapturePromptModel *model() const { return m_model; }
    int fittingHeight() const;

    QList<FolderManagementService::FolderSuggestion> suggestions() const;

    // The prompt's actions, as the keys and buttons run them.
    void saveAction();
    void skipAction();
    void discardAction();
    void acceptHighlightedSuggestion();
    bool tabInFolderField();
    void moveSelection(int delta);

    CommitTextField *titleField() const { return m_titleField; }
    FolderAutocompleteField *folderField() const { return m_folderField; }

Q_SIGNALS:
    void contentHeightChanged(qreal height);

protected:
    bool event(QEvent *event) override;

private:
    QLayout *buildHeader();
    QLayout *buildFolderBlock();
    QLayout *buildButtons();
    void refreshCounter();
    void refreshError();
    void refreshSuggestions();
    void refreshFolderNote();

    QPointer<CapturePromptModel> m_model;
    QStringList m_folders;
    Actions m_actions;
    QList<QMetaObject::Connection> m_modelConnections;

    QLabel *m_counter = nullptr;
    QWidget *m_preview = nullptr;
    CommitTextField *m_titleField = nullptr;
    FolderAutocompleteField *m_folderField = nullptr;
    QWidget *m_suggestionBox = nullptr;
    QList<FolderSuggestionRow *> m_rows;
    QLabel *m_folderNote = nullptr;
    QLabel *m_error = nullptr;
    FiledCopyNotice *m_filedCopy = nullptr;
    QPushButton *m_discard = nullptr;
    QPushButton *m_skip = nullptr;
    QPushButton *m_save = nullptr;
};

// The floating window around the view. Its close button decides nothing.
class CapturePromptPanel : public QWidget
{
    Q_OBJECT

public:
    explicit CapturePromptPanel(QWidget *parent = nullptr);
    CapturePromptView *view() const { return m_view; }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    CapturePromptView *m_view;
};

// Shows the head of the prompt queue. Owned by the coordinator.
//
// After the user closes the panel with its close button while captures still
// wait, the panel is only hidden: the coordinator calls reopen() at the next
// capture that joins the queue or the next decision, and the tray menu offers
// the same, so waiting captures are never out of reach.
class CapturePromptController : public QObject, public CapturePromptPresenter
{
    Q_OBJECT

public:
    explicit CapturePromptController(QObject *parent = nullptr);
    ~CapturePromptController() override;

    void show(const CapturePromptContent &content) override;
    void close() override;
    bool hasModel() const override { return m_model != nullptr; }
    void setQueueCount(int count) override;
    std::optional<QRect> panelFrame() const override;
    bool isVisible() const override;
    void reopen() override;

    std::optional<qint64> recordId() const { return m_recordId; }
    CapturePromptPanel *panel() const { return m_panel; }
    CapturePromptModel *model() const { return m_model; }
    // Applies the resize rule to the panel for a content height.
    void applyContentHeight(qreal height);
    // Images with more pixels than this, in formats without a reduced decode,
    // are decoded off the GUI thread.
    static void setSynchronousDecodeLimit(qint64 pixels);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void createPanel(const CapturePromptContent &content);
    void loadThumbnail(const QString &path);
    void installKeyMonitor();
    void removeKeyMonitor();

    std::optional<qint64> m_recordId;
    QPointer<CapturePromptPanel> m_panel;
    QPointer<CapturePromptModel> m_model;
    bool m_keyMonitorInstalled = false;
    std::function<void()> m_currentOnDiscard;
    quint64 m_generation = 0;
};

} // namespace marlox
