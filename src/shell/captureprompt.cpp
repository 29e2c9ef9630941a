#include "shell/captureprompt.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCursor>
#include <QHBoxLayout>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QThreadPool>
#include <QVBoxLayout>
#include <QWindow>
#include <QtConcurrent/QtConcurrentRun>

#if defined(MARLOX_HAVE_XCB)
#include <QtGui/qguiapplication_platform.h>
#if QT_CONFIG(xcb)
#include <xcb/xcb.h>
#define MARLOX_STICKY_X11 1
#endif
#endif

#include "platform/workpools.h"
#include "shell/folderfieldrules.h"
#include "shell/prompttextfields.h"

namespace marlox {

using FolderManagementService::FolderSuggestion;

namespace {
constexpr int suggestionLimit = 4;
constexpr QSize previewSize(320, 180);
constexpr int contentInset = 16;
constexpr int fieldHeight = 22;
// A full decode of a larger image (PNG has no reduced decode) stays off the
// GUI thread: decoding and scaling a 1080p PNG took 155 ms here.
qint64 g_synchronousDecodeLimit = 1'000'000;

QString trimmedSpacesAndTabs(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    const auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    while (begin < end && blank(text.at(begin)))
        ++begin;
    while (end > begin && blank(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

QFont scaledFont(const QFont &base, qreal factor, bool bold = false)
{
    QFont font = base;
    if (base.pointSizeF() > 0)
        font.setPointSizeF(base.pointSizeF() * factor);
    else
        font.setPixelSize(std::max(1, int(std::lround(base.pixelSize() * factor))));
    font.setBold(bold);
    return font;
}
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
const QColor destructiveRed(0xd7, 0x26, 0x26);

QString suggestionText(const FolderSuggestion &suggestion)
{
    if (suggestion.kind == FolderSuggestion::Kind::createNew)
        return QStringLiteral("Create folder “") + suggestion.name + QStringLiteral("”");
    return suggestion.name;
}

// ---- accessibility: suggestion rows are selectable buttons, the heading is a
// heading, the small captions above the fields are not read out.

const char *accessibleRoleProperty = "marloxAccessibleRole";

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

void installAccessibleFactory()
{
    static bool installed = false;
    if (!installed) {
        QAccessible::installFactory(promptAccessibleFactory);
        installed = true;
    }
}

// ---- preview: the image fitted into 320 × 180 on a faint rounded backdrop.
class PreviewView : public QWidget
{
public:
    explicit PreviewView(QWidget *parent) : QWidget(parent) { setFixedSize(previewSize); }
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

#if defined(MARLOX_STICKY_X11)
xcb_atom_t internAtom(xcb_connection_t *connection, const char *name)
{
    const xcb_intern_atom_cookie_t cookie
        = xcb_intern_atom(connection, false, uint16_t(qstrlen(name)), name);
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    free(reply);
    return atom;
}
#endif

// Asks an X11 window manager to keep the window on every workspace: the
// properties for a window not yet mapped, the messages for one that is.
// Other platforms and Wayland have no such request; the window then shows on
// the current workspace.
void showOnAllWorkspaces(QWidget *window, bool mapped)
{
#if defined(MARLOX_STICKY_X11)
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return;
    auto *x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return;
    const xcb_window_t id = xcb_window_t(window->winId());
    const xcb_atom_t desktop = internAtom(connection, "_NET_WM_DESKTOP");
    const xcb_atom_t state = internAtom(connection, "_NET_WM_STATE");
    const xcb_atom_t sticky = internAtom(connection, "_NET_WM_STATE_STICKY");
    if (desktop == XCB_ATOM_NONE || state == XCB_ATOM_NONE || sticky == XCB_ATOM_NONE)
        return;
    const uint32_t allDesktops = 0xFFFFFFFF;
    if (!mapped) {
        xcb_change_property(
            connection, XCB_PROP_MODE_REPLACE, id, desktop, XCB_ATOM_CARDINAL, 32, 1, &allDesktops);
        xcb_change_property(
            connection, XCB_PROP_MODE_APPEND, id, state, XCB_ATOM_ATOM, 32, 1, &sticky);
    } else {
        const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
        const auto send = [&](xcb_atom_t type, std::array<uint32_t, 5> data) {
            xcb_client_message_event_t message {};
            message.response_type = XCB_CLIENT_MESSAGE;
            message.format = 32;
            message.window = id;
            message.type = type;
            std::copy(data.begin(), data.end(), message.data.data32);
            xcb_send_event(connection, false, screen->root,
                XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                reinterpret_cast<const char *>(&message));
        };
        send(desktop, { allDesktops, 1, 0, 0, 0 });
        send(state, { 1 /* add */, sticky, 0, 1, 0 });
    }
    xcb_flush(connection);
#else
    Q_UNUSED(window);
    Q_UNUSED(mapped);
#endif
}

QImage decodePreview(const QString &path, const QSize &size)
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    if (size.isValid())
        reader.setScaledSize(size);
    return reader.read();
}
} // namespace

// ---- CapturePromptModel

CapturePromptModel::CapturePromptModel(const QString &title, int queueCount, const QString &folder,
    const QString &defaultTitle, QObject *parent)
    : QObject(parent),
      m_title(title),
      m_queueCount(queueCount),
      m_folder(folder),
      m_defaultTitle(defaultTitle)
{ }

void CapturePromptModel::setErrorMessage(const std::optional<QString> &message)
{
    if (m_errorMessage == message)
        return;
    m_errorMessage = message;
    Q_EMIT errorMessageChanged();
}

void CapturePromptModel::setTitle(const QString &title)
{
    if (m_title == title)
        return;
    m_title = title;
    Q_EMIT titleChanged();
}

void CapturePromptModel::setQueueCount(int count)
{
    if (m_queueCount == count)
        return;
    m_queueCount = count;
    Q_EMIT queueCountChanged();
}

void CapturePromptModel::setFolder(const QString &folder)
{
    if (m_folder == folder)
        return;
    m_folder = folder;
    Q_EMIT folderChanged();
}

void CapturePromptModel::setFolderSuggestionIndex(int index)
{
    if (m_folderSuggestionIndex == index)
        return;
    m_folderSuggestionIndex = index;
    Q_EMIT folderSuggestionIndexChanged();
}

void CapturePromptModel::setFolderFieldFocused(bool focused)
{
    if (m_isFolderFieldFocused == focused)
        return;
    m_isFolderFieldFocused = focused;
    Q_EMIT isFolderFieldFocusedChanged();
}

// ---- geometry

namespace CapturePromptGeometry {
QPoint placement(const QList<Screen> &screens, const QPoint &pointer, const QSize &size)
{
    QRect area;
    const auto under = std::find_if(screens.cbegin(), screens.cend(),
        [&](const Screen &screen) { return screen.frame.contains(pointer); });
    if (under != screens.cend())
        area = under->available;
    else if (!screens.isEmpty())
        area = screens.first().available;
    const int clampedWidth = std::min(size.width(), std::max(area.width() - 2 * margin, 0));
    return { area.x() + area.width() - clampedWidth - margin, area.y() + margin };
}

std::optional<QRectF> resized(const QRectF &frame, qreal contentHeight)
{
    if (contentHeight <= 0 || std::abs(contentHeight - frame.height()) <= resizeThreshold)
        return std::nullopt;
    return QRectF(frame.x(), frame.y(), frame.width(), contentHeight);
}
} // namespace CapturePromptGeometry

// ---- FolderSuggestionRow

FolderSuggestionRow::FolderSuggestionRow(QWidget *parent) : QAbstractButton(parent)
{
    setFocusPolicy(Qt::NoFocus);
    setFixedHeight(fieldHeight);
    setCursor(Qt::PointingHandCursor);
}

void FolderSuggestionRow::setHighlighted(bool on)
{
    if (m_highlighted == on)
        return;
    m_highlighted = on;
    update();
    QAccessible::State changed;
    changed.selected = true;
    QAccessibleStateChangeEvent event(this, changed);
    QAccessible::updateAccessibility(&event);
}

QSize FolderSuggestionRow::sizeHint() const
{
    return { fontMetrics().horizontalAdvance(text()) + 16, fieldHeight };
}

void FolderSuggestionRow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (m_highlighted) {
        QColor accent = palette().color(QPalette::Highlight);
        accent.setAlphaF(0.2);
        painter.fillRect(rect(), accent);
    }
    painter.setPen(palette().color(QPalette::Text));
    const QRect textRect = rect().adjusted(8, 0, -8, 0);
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter,
        fontMetrics().elidedText(text(), Qt::ElideRight, textRect.width()));
}

// ---- CapturePromptView

CapturePromptView::CapturePromptView(QWidget *parent) : QWidget(parent)
{
    installAccessibleFactory();
    setFixedWidth(CapturePromptGeometry::width);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(contentInset, contentInset, contentInset, contentInset);
    layout->setSpacing(10);
    layout->setAlignment(Qt::AlignTop);
    layout->setSizeConstraint(QLayout::SetNoConstraint);

    // Header
    auto *header = new QHBoxLayout;
    header->setContentsMargins(0, 0, 0, 0);
    auto *heading = new QLabel(QStringLiteral("New Screenshot"), this);
    heading->setFont(scaledFont(font(), 1.0, true));
    heading->setProperty(accessibleRoleProperty, QByteArrayLiteral("heading"));
    heading->setObjectName(QStringLiteral("capturePrompt.header"));
    m_counter = new QLabel(this);
    m_counter->setObjectName(QStringLiteral("capturePrompt.queueCounter"));
    m_counter->setFont(caption2Font(font()));
    QPalette secondary = m_counter->palette();
    secondary.setColor(QPalette::WindowText, secondaryColor(secondary));
    m_counter->setPalette(secondary);
    header->addWidget(heading);
    header->addStretch(1);
    header->addWidget(m_counter);
    layout->addLayout(header);

    // Preview
    auto *preview = new PreviewView(this);
    preview->setObjectName(QStringLiteral("capturePrompt.preview"));
    preview->setAccessibleName(QStringLiteral("Screenshot preview"));
    preview->hide();
    m_preview = preview;
    layout->addWidget(m_preview, 0, Qt::AlignLeft);

    // Title
    m_titleField = new CommitTextField(this);
    m_titleField->setObjectName(QStringLiteral("capturePrompt.title"));
    m_titleField->setAccessibleName(QStringLiteral("Title"));
    m_titleField->setFixedHeight(fieldHeight);
    m_titleField->setSelectAllOnAppear(true);
    layout->addLayout(fieldBlock(captionLabel(QStringLiteral("Title"), this), m_titleField));

    // Folder and its suggestions
    m_folderField = new FolderAutocompleteField(this);
    m_folderField->setObjectName(QStringLiteral("capturePrompt.folder"));
    m_folderField->setAccessibleName(QStringLiteral("Folder"));
    m_folderField->setPlaceholderText(QStringLiteral("Folder (General)"));
    m_folderField->setFixedHeight(fieldHeight);
    auto *folderBlock = fieldBlock(captionLabel(QStringLiteral("Folder"), this), m_folderField);
    m_suggestionBox = new SuggestionBox(this);
    m_suggestionBox->setObjectName(QStringLiteral("capturePrompt.suggestions"));
    m_suggestionBox->setFixedWidth(328);
    auto *rows = new QVBoxLayout(m_suggestionBox);
    rows->setContentsMargins(0, 4, 0, 4);
    rows->setSpacing(0);
    m_suggestionBox->hide();
    folderBlock->addWidget(m_suggestionBox, 0, Qt::AlignLeft);
    m_folderNote = new QLabel(this);
    m_folderNote->setObjectName(QStringLiteral("capturePrompt.folderNote"));
    m_folderNote->setFont(caption2Font(font()));
    m_folderNote->setWordWrap(true);
    QPalette notePalette = m_folderNote->palette();
    notePalette.setColor(QPalette::WindowText, destructiveRed);
    m_folderNote->setPalette(notePalette);
    m_folderNote->hide();
    folderBlock->addWidget(m_folderNote);
    layout->addLayout(folderBlock);

    // Error line
    m_error = new QLabel(this);
    m_error->setObjectName(QStringLiteral("capturePrompt.error"));
    m_error->setFont(caption2Font(font()));
    m_error->setWordWrap(true);
    QPalette red = m_error->palette();
    red.setColor(QPalette::WindowText, destructiveRed);
    m_error->setPalette(red);
    m_error->hide();
    layout->addWidget(m_error);

    // Buttons
    auto *buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 0, 0, 0);
    m_discard = new PromptButton(QStringLiteral("Discard"), this);
    m_discard->setObjectName(QStringLiteral("capturePrompt.discard"));
    m_discard->setAccessibleDescription(QStringLiteral("Moves the screenshot to the Trash"));
    m_discard->setFlat(true);
    m_discard->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Backspace));
    m_discard->setToolTip(QStringLiteral("Discard (Ctrl+Backspace)"));
    QPalette discardPalette = m_discard->palette();
    discardPalette.setColor(QPalette::ButtonText, destructiveRed);
    m_discard->setPalette(discardPalette);
    m_skip = new PromptButton(QStringLiteral("Skip"), this);
    m_skip->setObjectName(QStringLiteral("capturePrompt.skip"));
    m_skip->setAccessibleDescription(QStringLiteral("Leaves the screenshot in the Inbox"));
    m_skip->setToolTip(QStringLiteral("Skip (Esc)"));
    m_save = new PromptButton(QStringLiteral("Save"), this);
    m_save->setObjectName(QStringLiteral("capturePrompt.save"));
    m_save->setAccessibleDescription(QStringLiteral("Files the screenshot in the chosen folder"));
    m_save->setToolTip(QStringLiteral("Save (Return)"));
    m_save->setDefault(true);
    QPalette savePalette = m_save->palette();
    savePalette.setColor(QPalette::Button, savePalette.color(QPalette::Highlight));
    savePalette.setColor(QPalette::ButtonText, savePalette.color(QPalette::HighlightedText));
    m_save->setPalette(savePalette);
    // Return anywhere else in the panel is the Save button's; the fields
    // claim Return for themselves first.
    for (const int key : { Qt::Key_Return, Qt::Key_Enter }) {
        auto *shortcut = new QShortcut(QKeySequence(key), this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, m_save, &QPushButton::click);
    }
    connect(m_discard, &QPushButton::clicked, this, &CapturePromptView::discardAction);
    connect(m_skip, &QPushButton::clicked, this, &CapturePromptView::skipAction);
    connect(m_save, &QPushButton::clicked, this, &CapturePromptView::saveAction);
    buttons->addWidget(m_discard);
    buttons->addStretch(1);
    buttons->addWidget(m_skip);
    buttons->addWidget(m_save);
    layout->addLayout(buttons);

    // Hint line
    auto *hint = new QLabel(QStringLiteral("Return save · Esc skip · Ctrl+⌫ discard"), this);
    hint->setObjectName(QStringLiteral("capturePrompt.hint"));
    hint->setFont(caption2Font(font()));
    hint->setPalette(secondary);
    hint->setAccessibleName(
        QStringLiteral("Shortcuts: Return to save, Escape to skip, Control-Backspace to discard"));
    layout->addWidget(hint);

    setTabOrder(m_titleField, m_folderField);
    setTabOrder(m_folderField, m_discard);
    setTabOrder(m_discard, m_skip);
    setTabOrder(m_skip, m_save);
}

void CapturePromptView::setContent(
    CapturePromptModel *model, const QStringList &folders, Actions actions)
{
    for (const auto &connection : std::as_const(m_modelConnections))
        disconnect(connection);
    m_modelConnections.clear();
    m_model = model;
    m_folders = folders;
    m_actions = std::move(actions);

    m_titleField->setPlaceholderText(model->defaultTitle());
    m_titleField->setActions({
        .textEdited =
            [this](const QString &text) {
                if (m_model)
                    m_model->setTitle(text);
            },
        .onCommit = [this] { saveAction(); },
        .onCancel = [this] { skipAction(); },
        .onDiscard = [this] { discardAction(); },
    });
    m_folderField->setActions({
        .textEdited =
            [this](const QString &text) {
                if (m_model)
                    m_model->setFolder(text);
            },
        .onReturn =
            [this] {
                acceptHighlightedSuggestion();
                saveAction();
            },
        .onTab = [this] { return tabInFolderField(); },
        .onMoveSelection = [this](int delta) { moveSelection(delta); },
        .onCancel = [this] { skipAction(); },
        .onDiscard = [this] { discardAction(); },
        .onFocusChange =
            [this](bool focused) {
                if (m_model)
                    m_model->setFolderFieldFocused(focused);
            },
    });

    m_modelConnections = {
        connect(model, &CapturePromptModel::titleChanged, this,
            [this] { m_titleField->setBoundText(m_model->title()); }),
        connect(model, &CapturePromptModel::folderChanged, this,
            [this] {
                m_folderField->setBoundText(m_model->folder());
                refreshSuggestions();
                refreshFolderNote();
            }),
        connect(model, &CapturePromptModel::folderSuggestionIndexChanged, this,
            &CapturePromptView::refreshSuggestions),
        connect(model, &CapturePromptModel::isFolderFieldFocusedChanged, this,
            &CapturePromptView::refreshSuggestions),
        connect(model, &CapturePromptModel::errorMessageChanged, this,
            &CapturePromptView::refreshError),
        connect(model, &CapturePromptModel::queueCountChanged, this,
            &CapturePromptView::refreshCounter),
    };

    m_titleField->setBoundText(model->title());
    m_folderField->setBoundText(model->folder());
    setThumbnail({});
    refreshCounter();
    refreshError();
    refreshSuggestions();
    refreshFolderNote();
}

void CapturePromptView::setThumbnail(const QImage &image)
{
    auto *preview = static_cast<PreviewView *>(m_preview);
    preview->setImage(image);
    preview->setVisible(!image.isNull());
}

void CapturePromptView::setPreviewReserved(bool reserved)
{
    m_preview->setVisible(reserved || !static_cast<PreviewView *>(m_preview)->image().isNull());
}

int CapturePromptView::fittingHeight() const
{
    QLayout *content = layout();
    content->activate();
    if (content->hasHeightForWidth())
        return content->totalHeightForWidth(CapturePromptGeometry::width);
    return content->totalSizeHint().height();
}

QList<FolderSuggestion> CapturePromptView::suggestions() const
{
    if (!m_model)
        return {};
    return FolderFieldRules::suggestions(m_model->folder(), m_folders, suggestionLimit);
}

void CapturePromptView::saveAction()
{
    if (!m_model)
        return;
    const QString folder = trimmedSpacesAndTabs(m_model->folder());
    if (folder.isEmpty())
        return;
    const QString typed = trimmedSpacesAndTabs(m_model->title());
    const QString title = typed.isEmpty() ? m_model->defaultTitle() : typed;
    // The save may move the prompt on to another capture; an error belongs to
    // the capture it was raised for.
    const QPointer<CapturePromptModel> model = m_model;
    const auto save = m_actions.save;
    if (!save)
        return;
    const std::optional<QString> error = save(title, folder);
    if (error && model)
        model->setErrorMessage(error);
}

void CapturePromptView::skipAction()
{
    if (!m_model)
        return;
    const QString typed = trimmedSpacesAndTabs(m_model->title());
    const auto skip = m_actions.skip;
    if (skip)
        skip(typed.isEmpty() ? std::nullopt : std::optional<QString>(typed));
}

void CapturePromptView::discardAction()
{
    const auto discard = m_actions.discard;
    if (discard)
        discard();
}

void CapturePromptView::acceptHighlightedSuggestion()
{
    const QList<FolderSuggestion> list = suggestions();
    const int index = m_model ? m_model->folderSuggestionIndex() : -1;
    if (index < 0 || index >= list.size())
        return;
    m_model->setFolder(list.at(index).name);
    m_model->setFolderSuggestionIndex(0);
}

bool CapturePromptView::tabInFolderField()
{
    const QList<FolderSuggestion> list = suggestions();
    const int index = m_model ? m_model->folderSuggestionIndex() : -1;
    if (index < 0 || index >= list.size()
        || !FolderFieldRules::changesText(list.at(index), m_model->folder()))
        return false;
    acceptHighlightedSuggestion();
    return true;
}

void CapturePromptView::moveSelection(int delta)
{
    const qsizetype count = suggestions().size();
    if (count == 0 || !m_model)
        return;
    const int n = int(count);
    m_model->setFolderSuggestionIndex(((m_model->folderSuggestionIndex() + delta) % n + n) % n);
}

bool CapturePromptView::event(QEvent *event)
{
    const bool handled = QWidget::event(event);
    if (event->type() == QEvent::LayoutRequest)
        Q_EMIT contentHeightChanged(fittingHeight());
    return handled;
}

void CapturePromptView::refreshCounter()
{
    const int count = m_model ? m_model->queueCount() : 0;
    m_counter->setVisible(count >= 2);
    const QString text = QStringLiteral("1 of %1").arg(count);
    m_counter->setText(text);
    m_counter->setAccessibleName(QStringLiteral("Screenshot ") + text);
}

void CapturePromptView::refreshError()
{
    const std::optional<QString> message = m_model ? m_model->errorMessage() : std::nullopt;
    m_error->setText(message.value_or(QString()));
    m_error->setVisible(message.has_value());
}

void CapturePromptView::refreshFolderNote()
{
    const std::optional<QString> refusal
        = m_model ? FolderFieldRules::refusal(m_model->folder()) : std::nullopt;
    m_folderNote->setText(refusal.value_or(QString()));
    m_folderNote->setVisible(refusal.has_value());
}

void CapturePromptView::refreshSuggestions()
{
    const QList<FolderSuggestion> list
        = m_model && m_model->isFolderFieldFocused() ? suggestions() : QList<FolderSuggestion>();
    auto *rows = static_cast<QVBoxLayout *>(m_suggestionBox->layout());
    while (m_rows.size() < list.size()) {
        auto *row = new FolderSuggestionRow(m_suggestionBox);
        row->setFont(calloutFont(font()));
        const int position = int(m_rows.size());
        connect(row, &QAbstractButton::clicked, this, [this, position] {
            const QList<FolderSuggestion> current = suggestions();
            if (!m_model || position >= current.size())
                return;
            m_model->setFolder(current.at(position).name);
            m_model->setFolderSuggestionIndex(0);
        });
        rows->addWidget(row);
        m_rows.append(row);
    }
    const int highlighted = m_model ? m_model->folderSuggestionIndex() : -1;
    for (qsizetype i = 0; i < m_rows.size(); ++i) {
        FolderSuggestionRow *row = m_rows.at(i);
        const bool used = i < list.size();
        if (used)
            row->setText(suggestionText(list.at(i)));
        row->setHighlighted(used && i == highlighted);
        row->setVisible(used);
    }
    m_suggestionBox->setVisible(!list.isEmpty());
}

// ---- CapturePromptPanel

CapturePromptPanel::CapturePromptPanel(QWidget *parent)
    : QWidget(parent,
        Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint
            | Qt::WindowCloseButtonHint),
      m_view(new CapturePromptView(this))
{
    setWindowTitle(QStringLiteral("Marlox"));
    setObjectName(QStringLiteral("capturePrompt"));
    // Closing with the title-bar button only hides the panel: it decides
    // nothing and the controller keeps it for the waiting captures.
    setAttribute(Qt::WA_DeleteOnClose, false);
    setAttribute(Qt::WA_QuitOnClose, false);
}

void CapturePromptPanel::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_view->setGeometry(rect());
}

// ---- CapturePromptController

CapturePromptController::CapturePromptController(QObject *parent) : QObject(parent)
{ }

CapturePromptController::~CapturePromptController()
{
    removeKeyMonitor();
    delete m_panel.data();
}

void CapturePromptController::show(const CapturePromptContent &content)
{
    m_recordId = content.recordId;
    ++m_generation;
    auto *model = new CapturePromptModel(
        content.title, content.queueCount, content.initialFolder, content.defaultTitle, this);
    model->setErrorMessage(content.initialError);
    CapturePromptModel *previous = m_model;
    m_model = model;
    m_currentOnDiscard = content.onDiscard;

    const CapturePromptView::Actions actions {
        .save = content.onSave,
        .skip = content.onSkip,
        .discard = content.onDiscard,
    };
    if (!m_panel) {
        createPanel(content);
        m_panel->view()->setContent(model, content.folderNames, actions);
        loadThumbnail(content.path);
        const int height = m_panel->view()->fittingHeight();
        m_panel->setFixedSize(CapturePromptGeometry::width, std::max(height, 1));
        QList<CapturePromptGeometry::Screen> screens;
        for (const QScreen *screen : QGuiApplication::screens())
            screens.append({ screen->geometry(), screen->availableGeometry() });
        m_panel->move(CapturePromptGeometry::placement(
            screens, QCursor::pos(), m_panel->frameGeometry().size()));
        m_panel->winId();
        showOnAllWorkspaces(m_panel, false);
        m_panel->show();
        showOnAllWorkspaces(m_panel, true);
        m_panel->raise();
        m_panel->activateWindow();
        installKeyMonitor();
    } else {
        m_panel->view()->setContent(model, content.folderNames, actions);
        loadThumbnail(content.path);
        const int height = m_panel->view()->fittingHeight();
        if (height > 0)
            applyContentHeight(height);
        if (!m_panel->isVisible()) {
            // Ordered front without taking the focus from whatever has it.
            m_panel->setAttribute(Qt::WA_ShowWithoutActivating, true);
            showOnAllWorkspaces(m_panel, false);
            m_panel->show();
            showOnAllWorkspaces(m_panel, true);
            m_panel->setAttribute(Qt::WA_ShowWithoutActivating, false);
        }
        m_panel->raise();
    }
    if (previous)
        previous->deleteLater();
}

void CapturePromptController::createPanel(const CapturePromptContent &)
{
    m_panel = new CapturePromptPanel;
    connect(m_panel->view(), &CapturePromptView::contentHeightChanged, this,
        &CapturePromptController::applyContentHeight);
}

void CapturePromptController::setSynchronousDecodeLimit(qint64 pixels)
{
    g_synchronousDecodeLimit = pixels;
}

void CapturePromptController::loadThumbnail(const QString &path)
{
    CapturePromptView *view = m_panel->view();
    QImageReader reader(path);
    const QSize full = reader.size();
    if (!reader.canRead()) {
        view->setThumbnail({});
        return;
    }
    const qreal scale = std::max<qreal>(1.0, view->devicePixelRatioF());
    const QSize box = (QSizeF(previewSize) * scale).toSize();
    QSize target;
    if (full.isValid() && (full.width() > box.width() || full.height() > box.height()))
        target = full.scaled(box, Qt::KeepAspectRatio);
    const bool reduced = reader.supportsOption(QImageIOHandler::ScaledSize);
    const qint64 pixels = full.isValid() ? qint64(full.width()) * full.height() : 0;
    if (reduced || (full.isValid() && pixels <= g_synchronousDecodeLimit)) {
        view->setThumbnail(decodePreview(path, target));
        return;
    }
    // Keep the preview's place while the decode runs, so the panel does not
    // jump when the image arrives.
    view->setPreviewReserved(true);
    const quint64 generation = m_generation;
    QtConcurrent::run(&WorkPools::interactive(), decodePreview, path, target)
        .then(this, [this, generation](const QImage &image) {
            if (generation != m_generation || !m_panel)
                return;
            m_panel->view()->setThumbnail(image);
        });
}

void CapturePromptController::close()
{
    if (m_panel) {
        m_panel->hide();
        m_panel->deleteLater();
    }
    m_panel = nullptr;
    if (m_model)
        m_model->deleteLater();
    m_model = nullptr;
    m_recordId.reset();
    m_currentOnDiscard = nullptr;
    ++m_generation;
    removeKeyMonitor();
}

void CapturePromptController::setQueueCount(int count)
{
    if (m_model)
        m_model->setQueueCount(count);
}

std::optional<QRect> CapturePromptController::panelFrame() const
{
    if (!m_panel)
        return std::nullopt;
    return m_panel->frameGeometry();
}

bool CapturePromptController::isVisible() const
{
    return m_panel && m_panel->isVisible();
}

void CapturePromptController::reopen()
{
    if (!m_panel || !m_model)
        return;
    // A hidden window loses its window-manager state; ask again.
    if (!m_panel->isVisible()) {
        showOnAllWorkspaces(m_panel, false);
        m_panel->show();
        showOnAllWorkspaces(m_panel, true);
    }
    m_panel->raise();
    m_panel->activateWindow();
}

void CapturePromptController::applyContentHeight(qreal height)
{
    if (!m_panel)
        return;
    const std::optional<QRectF> frame
        = CapturePromptGeometry::resized(QRectF(m_panel->geometry()), height);
    if (!frame)
        return;
    // Only the height changes: the panel's position, and so its top edge, stays.
    m_panel->setFixedSize(int(std::lround(frame->width())), int(std::lround(frame->height())));
}

void CapturePromptController::installKeyMonitor()
{
    if (m_keyMonitorInstalled)
        return;
    qApp->installEventFilter(this);
    m_keyMonitorInstalled = true;
}

void CapturePromptController::removeKeyMonitor()
{
    if (!m_keyMonitorInstalled)
        return;
    qApp->removeEventFilter(this);
    m_keyMonitorInstalled = false;
}

// Ctrl+Backspace while the panel is active but neither field has the focus
// discards the capture. The fields handle it themselves; the Discard button's
// own shortcut is kept from firing so a capture is never discarded twice.
bool CapturePromptController::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride)
        return false;
    if (!m_panel || QApplication::activeWindow() != m_panel)
        return false;
    if (PromptKeys::command(static_cast<QKeyEvent *>(event)) != PromptKeys::Command::discard)
        return false;
    const QWidget *focus = QApplication::focusWidget();
    CapturePromptView *view = m_panel->view();
    if (focus == view->titleField() || focus == view->folderField())
        return false;
    auto *widget = qobject_cast<QWidget *>(watched);
    if (event->type() == QEvent::ShortcutOverride) {
        const bool inPanel
            = widget ? widget->window() == m_panel : watched == m_panel->windowHandle();
        if (!inPanel)
            return false;
        event->accept();
        return true;
    }
    // A key press reaches the window first and then its focus widget; act once.
    if (!widget || widget->window() != m_panel)
        return false;
    const auto discard = m_currentOnDiscard;
    if (discard)
        discard();
    return true;
}

} // namespace marlox
