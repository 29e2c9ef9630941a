#include <algorithm>
#include <cmath>

#include <QAccessible>
#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QShortcut>
#include <QVBoxLayout>

#include "shell/captureprompt.h"
#include "shell/filedcopynotice.h"
#include "shell/folderfieldrules.h"
#include "shell/promptparts.h"
#include "shell/prompttextfields.h"
#include "widgets/fonts.h"

namespace marlox {

using FolderManagementService::FolderSuggestion;
using namespace PromptParts;

namespace {
constexpr int suggestionLimit = 4;
constexpr int contentInset = 16;
constexpr int fieldHeight = 22;

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
// A small line of text in one colour: the count, notes, errors, the hint.
QLabel *smallLine(const QString &objectName, const QColor &color, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setObjectName(objectName);
    label->setFont(caption2Font(parent->font()));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    return label;
}
} // namespace

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

    layout->addLayout(buildHeader());
    auto *preview = new PreviewView(this);
    preview->setObjectName(QStringLiteral("capturePrompt.preview"));
    preview->setAccessibleName(QStringLiteral("Screenshot preview"));
    preview->hide();
    m_preview = preview;
    layout->addWidget(m_preview, 0, Qt::AlignLeft);

    m_titleField = new CommitTextField(this);
    m_titleField->setObjectName(QStringLiteral("capturePrompt.title"));
    m_titleField->setAccessibleName(QStringLiteral("Title"));
    m_titleField->setFixedHeight(fieldHeight);
    m_titleField->setSelectAllOnAppear(true);
    layout->addLayout(fieldBlock(captionLabel(QStringLiteral("Title"), this), m_titleField));
    layout->addLayout(buildFolderBlock());

    m_error = smallLine(QStringLiteral("capturePrompt.error"), destructiveRed, this);
    m_error->setWordWrap(true);
    m_error->hide();
    layout->addWidget(m_error);
    m_filedCopy = new FiledCopyNotice(this);
    connect(
        m_filedCopy, &FiledCopyNotice::discardRequested, this, &CapturePromptView::discardAction);
    layout->addWidget(m_filedCopy);

    layout->addLayout(buildButtons());
    auto *hint = smallLine(QStringLiteral("capturePrompt.hint"), secondaryColor(palette()), this);
    hint->setText(QStringLiteral("Return save · Esc skip · Ctrl+⌫ discard"));
    hint->setAccessibleName(
        QStringLiteral("Shortcuts: Return to save, Escape to skip, Control-Backspace to discard"));
    layout->addWidget(hint);

    setTabOrder(m_titleField, m_folderField);
    setTabOrder(m_folderField, m_filedCopy->discardButton());
    setTabOrder(m_filedCopy->discardButton(), m_discard);
    setTabOrder(m_discard, m_skip);
    setTabOrder(m_skip, m_save);
}

QLayout *CapturePromptView::buildHeader()
{
    auto *header = new QHBoxLayout;
    header->setContentsMargins(0, 0, 0, 0);
    auto *heading = new QLabel(QStringLiteral("New Screenshot"), this);
    heading->setFont(scaledFont(font(), 1.0, true));
    heading->setProperty(accessibleRoleProperty, QByteArrayLiteral("heading"));
    heading->setObjectName(QStringLiteral("capturePrompt.header"));
    m_counter
        = smallLine(QStringLiteral("capturePrompt.queueCounter"), secondaryColor(palette()), this);
    header->addWidget(heading);
    header->addStretch(1);
    header->addWidget(m_counter);
    return header;
}

// The folder field, the suggestions under it and the note on a refused name.
QLayout *CapturePromptView::buildFolderBlock()
{
    m_folderField = new FolderAutocompleteField(this);
    m_folderField->setObjectName(QStringLiteral("capturePrompt.folder"));
    m_folderField->setAccessibleName(QStringLiteral("Folder"));
    m_folderField->setPlaceholderText(QStringLiteral("Folder (General)"));
    m_folderField->setFixedHeight(fieldHeight);
    auto *block = fieldBlock(captionLabel(QStringLiteral("Folder"), this), m_folderField);
    m_suggestionBox = new SuggestionBox(this);
    m_suggestionBox->setObjectName(QStringLiteral("capturePrompt.suggestions"));
    m_suggestionBox->setFixedWidth(328);
    auto *rows = new QVBoxLayout(m_suggestionBox);
    rows->setContentsMargins(0, 4, 0, 4);
    rows->setSpacing(0);
    m_suggestionBox->hide();
    block->addWidget(m_suggestionBox, 0, Qt::AlignLeft);
    m_folderNote = smallLine(QStringLiteral("capturePrompt.folderNote"), destructiveRed, this);
    m_folderNote->setWordWrap(true);
    m_folderNote->hide();
    block->addWidget(m_folderNote);
    return block;
}

QLayout *CapturePromptView::buildButtons()
{
    const auto button = [this](const QString &text, const char *name, const QString &description,
                            const QString &toolTip) {
        auto *made = new PromptButton(text, this);
        made->setObjectName(QLatin1String(name));
        made->setAccessibleDescription(description);
        made->setToolTip(toolTip);
        return made;
    };
    m_discard = button(QStringLiteral("Discard"), "capturePrompt.discard",
        QStringLiteral("Moves the screenshot to the Trash"),
        QStringLiteral("Discard (Ctrl+Backspace)"));
    m_discard->setFlat(true);
    m_discard->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Backspace));
    QPalette discardPalette = m_discard->palette();
    discardPalette.setColor(QPalette::ButtonText, destructiveRed);
    m_discard->setPalette(discardPalette);
    m_skip = button(QStringLiteral("Skip"), "capturePrompt.skip",
        QStringLiteral("Leaves the screenshot in the Inbox"), QStringLiteral("Skip (Esc)"));
    m_save = button(QStringLiteral("Save"), "capturePrompt.save",
        QStringLiteral("Files the screenshot in the chosen folder"),
        QStringLiteral("Save (Return)"));
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

    auto *buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->addWidget(m_discard);
    buttons->addStretch(1);
    buttons->addWidget(m_skip);
    buttons->addWidget(m_save);
    return buttons;
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

void CapturePromptView::setFiledCopy(const std::optional<ScreenshotRecord> &record)
{
    m_filedCopy->setFiledCopy(record);
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

} // namespace marlox
