#include "shell/settingswindow.h"

#include <algorithm>

#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "app/appsettings.h"
#include "app/folderlocations.h"
#include "app/loginitemcontroller.h"
#include "app/recognitionwork.h"
#include "app/updatecontroller.h"
#include "filing/ocrengine.h"
#include "platform/homedirectory.h"
#include "platform/screenshotlocation.h"
#include "shell/appicons.h"
#include "shell/backlogoffer.h"
#include "shell/launchatlogintoggle.h"
#include "shell/uitext.h"

namespace marlox {

namespace {

// Asks for the whole form's height (a plain scroll area asks for a fixed
// small box); the window system caps it to the screen.
class FormScrollArea : public QScrollArea
{
public:
    explicit FormScrollArea(QWidget *parent) : QScrollArea(parent)
    {
        setFrameShape(QFrame::NoFrame);
        setWidgetResizable(true);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    }

    QSize sizeHint() const override
    {
        const QWidget *form = widget();
        if (!form)
            return QScrollArea::sizeHint();
        const int width = parentWidget() ? parentWidget()->width() : form->sizeHint().width();
        const int height
            = form->hasHeightForWidth() ? form->heightForWidth(width) : form->sizeHint().height();
        return { width, height };
    }
};

} // namespace

SettingsWindow::SettingsWindow(AppSettings &settings, UpdateController &updates,
    std::function<void()> showWelcome, QWidget *parent)
    : QWidget(parent),
      m_settings(settings),
      m_updates(updates),
      m_loginItem(new LoginItemController(this))
{
    setObjectName(QStringLiteral("settings"));
    setWindowTitle(QStringLiteral("Marlox Settings"));
    setWindowIcon(AppIcons::application());
    setFixedWidth(460);
    // The form is taller than a small laptop screen allows a window to open:
    // it scrolls there rather than squeezing its rows together.
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *scroll = new FormScrollArea(this);
    outer->addWidget(scroll);
    auto *content = new QWidget(scroll);
    auto *layout = new QVBoxLayout(content);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(8);

    // General
    layout->addWidget(UiText::headline(QStringLiteral("General"), this));
    m_autoSave
        = new QCheckBox(QStringLiteral("Save every screenshot to General without asking"), this);
    m_autoSave->setObjectName(QStringLiteral("settings.autoSave"));
    connect(m_autoSave, &QCheckBox::clicked, &settings, &AppSettings::setAutoSaveEnabled);
    layout->addWidget(m_autoSave);
    m_autoSaveExplanation = UiText::caption(QString(), this);
    layout->addWidget(m_autoSaveExplanation);
    layout->addWidget(new LaunchAtLoginToggle(m_loginItem, this));
    if (updates.isEnabled()) {
        m_autoUpdate = new QCheckBox(QStringLiteral("Automatically check for updates"), this);
        m_autoUpdate->setObjectName(QStringLiteral("settings.autoUpdate"));
        connect(m_autoUpdate, &QCheckBox::clicked, &updates,
            &UpdateController::setAutomaticallyChecksForUpdates);
        connect(&updates, &UpdateController::automaticallyChecksForUpdatesChanged, this,
            &SettingsWindow::update);
        layout->addWidget(m_autoUpdate);
    }
    auto *welcome = new QPushButton(QStringLiteral("Show Welcome…"), this);
    welcome->setObjectName(QStringLiteral("settings.showWelcome"));
    connect(welcome, &QPushButton::clicked, this, [showWelcome] {
        if (showWelcome)
            showWelcome();
    });
    layout->addWidget(welcome, 0, Qt::AlignLeft);
    layout->addSpacing(12);

    // Folders
    layout->addWidget(UiText::headline(QStringLiteral("Folders"), this));
    m_watchStatus = UiText::body(QString(), this);
    m_watchStatus->setObjectName(QStringLiteral("settings.watchStatus"));
    layout->addWidget(m_watchStatus);
    QPointer<AppSettings> weak(&settings);
    m_screenshotRow = folderRow(QStringLiteral("Screenshot folder"),
        QStringLiteral("settings.screenshotFolder"), &m_screenshotPath, [weak] {
            if (weak)
                weak->locations().chooseScreenshotFolder(std::nullopt, std::nullopt);
        });
    layout->addWidget(m_screenshotRow);
    m_systemLocation = UiText::caption(QString(), this);
    layout->addWidget(m_systemLocation);
    m_useSystem = new QPushButton(this);
    m_useSystem->setObjectName(QStringLiteral("settings.useSystemScreenshotFolder"));
    connect(
        m_useSystem, &QPushButton::clicked, this,
        [weak] {
            if (weak)
                weak->locations().chooseScreenshotFolder(
                    std::nullopt, weak->systemFolderIfDifferent());
        },
        Qt::QueuedConnection);
    layout->addWidget(m_useSystem, 0, Qt::AlignLeft);
    m_backlogOffer = new BacklogOffer(settings.backlogImport(), settings.locations(), this);
    layout->addWidget(m_backlogOffer);
    auto *line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    layout->addWidget(line);
    layout->addWidget(UiText::caption(
        QStringLiteral(
            "The library folder is where Marlox keeps the screenshots you save, organized "
            "into one subfolder per Marlox folder (General, etc.). It should be a folder you "
            "own, like ~/Pictures/Marlox — not your screenshot folder."),
        this));
    m_libraryRow = folderRow(QStringLiteral("Library folder"),
        QStringLiteral("settings.libraryFolder"), &m_libraryPath, [weak] {
            if (weak)
                weak->locations().chooseLibraryRoot(std::nullopt);
        });
    layout->addWidget(m_libraryRow);
    auto *create = new QPushButton(QStringLiteral("Create Library Folder…"), this);
    create->setObjectName(QStringLiteral("settings.createLibraryFolder"));
    connect(
        create, &QPushButton::clicked, this,
        [weak] {
            if (weak)
                weak->locations().createLibraryRoot(std::nullopt);
        },
        Qt::QueuedConnection);
    layout->addWidget(create, 0, Qt::AlignLeft);
    layout->addWidget(UiText::caption(
        QStringLiteral(
            "Changing this doesn't move screenshots you've already saved — they stay where "
            "they are. Only new saves use the new folder."),
        this));
    layout->addSpacing(12);

    layout->addWidget(textRecognitionSection());
    layout->addStretch(1);
    scroll->setWidget(content);

    for (auto signal : { &AppSettings::autoSaveEnabledChanged, &AppSettings::watchStatusChanged,
             &AppSettings::systemFolderIfDifferentChanged })
        connect(&settings, signal, this, &SettingsWindow::update);
    for (auto signal :
        { &FolderLocations::screenshotFolderChanged, &FolderLocations::libraryRootChanged })
        connect(&settings.locations(), signal, this, &SettingsWindow::update);
    for (auto signal : { &RecognitionWork::ocrLanguagesChanged, &RecognitionWork::progressChanged })
        connect(&settings.recognition(), signal, this, &SettingsWindow::updateTextRecognition);
    update();
}

QWidget *SettingsWindow::textRecognitionSection()
{
    auto *section = new QWidget(this);
    auto *layout = new QVBoxLayout(section);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addWidget(UiText::headline(QStringLiteral("Text recognition"), section));
    layout->addWidget(UiText::caption(
        QStringLiteral("Marlox reads the text in your screenshots in these languages, so you "
                       "can search for it. English is always on; choose up to %1 in all.")
            .arg(QStringLiteral("four")),
        section));

    auto *languages = new QWidget(section);
    languages->setObjectName(QStringLiteral("settings.ocrLanguages"));
    languages->setAccessibleName(QStringLiteral("Recognition languages"));
    m_languageGrid = new QGridLayout(languages);
    m_languageGrid->setContentsMargins(0, 0, 0, 0);
    m_languageGrid->setHorizontalSpacing(16);
    m_languageGrid->setVerticalSpacing(4);
    // With every language installed the list would run for pages: it gets a
    // box of its own, a dozen rows high at most.
    m_languageList = new QScrollArea(section);
    m_languageList->setFrameShape(QFrame::NoFrame);
    m_languageList->setWidgetResizable(true);
    m_languageList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_languageList->setWidget(languages);
    layout->addWidget(m_languageList);

    m_languageLimit = UiText::caption(
        QStringLiteral("That's four languages, the most Marlox reads at once: each one makes "
                       "reading slower. Turn one off to choose another."),
        section);
    m_languageLimit->setObjectName(QStringLiteral("settings.ocrLanguages.limit"));
    layout->addWidget(m_languageLimit);
    m_onlyEnglish = UiText::caption(
        QStringLiteral("Only English is installed. To read another language, install its "
                       "data (for German, the package tesseract-ocr-deu) and open Settings "
                       "again."),
        section);
    m_onlyEnglish->setObjectName(QStringLiteral("settings.ocrLanguages.onlyEnglish"));
    layout->addWidget(m_onlyEnglish);

    layout->addWidget(UiText::caption(
        QStringLiteral("New screenshots are read in the chosen languages. Recognise Again "
                       "reads the ones you already have once more; that takes a while, and "
                       "you can keep working meanwhile."),
        section));
    auto *row = new QHBoxLayout;
    row->setSpacing(8);
    m_recogniseAgain = new QPushButton(QStringLiteral("Recognise Again"), section);
    m_recogniseAgain->setObjectName(QStringLiteral("settings.recogniseAgain"));
    m_recogniseAgain->setAccessibleDescription(
        QStringLiteral("Reads the text of every screenshot in the library again"));
    QPointer<AppSettings> weak(&m_settings);
    connect(m_recogniseAgain, &QPushButton::clicked, this, [weak] {
        if (weak)
            weak->recognition().recogniseAgain();
    });
    row->addWidget(m_recogniseAgain);
    m_recognitionBar = new QProgressBar(section);
    m_recognitionBar->setObjectName(QStringLiteral("settings.recognitionProgressBar"));
    m_recognitionBar->setTextVisible(false);
    m_recognitionBar->setAccessibleName(QStringLiteral("Recognition progress"));
    row->addWidget(m_recognitionBar, 1);
    m_cancelRecognition = new QPushButton(QStringLiteral("Cancel"), section);
    m_cancelRecognition->setObjectName(QStringLiteral("settings.recogniseAgain.cancel"));
    m_cancelRecognition->setAccessibleName(QStringLiteral("Cancel Recognise Again"));
    connect(m_cancelRecognition, &QPushButton::clicked, this, [weak] {
        if (weak)
            weak->recognition().cancelRecogniseAgain();
    });
    row->addWidget(m_cancelRecognition);
    row->addStretch(0);
    layout->addLayout(row);
    m_recognitionStatus = UiText::caption(QString(), section);
    m_recognitionStatus->setObjectName(QStringLiteral("settings.recognitionProgress"));
    // Room for the longest report from the start, so the form never grows.
    m_recognitionStatus->setMinimumHeight(2 * m_recognitionStatus->fontMetrics().lineSpacing());
    layout->addWidget(m_recognitionStatus);

    refreshInstalledLanguages();
    return section;
}

void SettingsWindow::showEvent(QShowEvent *event)
{
    // Data installed or removed while the window was closed shows up on return.
    refreshInstalledLanguages();
    m_backlogOffer->refresh();
    QWidget::showEvent(event);
}

void SettingsWindow::refreshInstalledLanguages()
{
    QStringList installed = OCREngine::installedLanguages();
    installed.removeAll(QStringLiteral("eng"));
    std::sort(installed.begin(), installed.end(), [](const QString &a, const QString &b) {
        return QString::localeAwareCompare(OCREngine::languageName(a), OCREngine::languageName(b))
            < 0;
    });
    // English leads whether or not its data is there: it is never optional.
    installed.prepend(QStringLiteral("eng"));
    if (installed == m_installedLanguages && !m_languageBoxes.isEmpty()) {
        updateTextRecognition();
        return;
    }
    m_installedLanguages = installed;

    qDeleteAll(m_languageBoxes);
    m_languageBoxes.clear();
    QWidget *grid = m_languageGrid->parentWidget();
    const int rows = int(installed.size() + 1) / 2;
    for (int i = 0; i < installed.size(); ++i) {
        const QString &code = installed.at(i);
        auto *box = new QCheckBox(OCREngine::languageName(code), grid);
        box->setObjectName(QStringLiteral("settings.ocrLanguage.") + code);
        box->setProperty("marloxLanguage", code);
        if (code == QLatin1String("eng")) {
            box->setToolTip(QStringLiteral("English is always on."));
        } else {
            box->setToolTip(code);
            connect(box, &QCheckBox::clicked, this,
                [this, code](bool on) { toggleLanguage(code, on); });
        }
        // Down the first column, then the second, like a sorted list reads.
        m_languageGrid->addWidget(box, i % rows, i / rows);
        m_languageBoxes.append(box);
    }
    const int rowHeight
        = m_languageBoxes.first()->sizeHint().height() + m_languageGrid->verticalSpacing();
    m_languageList->setFixedHeight(qMin(rows, 12) * rowHeight);
    updateTextRecognition();
}

QStringList SettingsWindow::usableLanguages() const
{
    QStringList usable = { QStringLiteral("eng") };
    for (const QString &code : m_settings.recognition().ocrLanguages()) {
        if (!usable.contains(code) && m_installedLanguages.contains(code))
            usable.append(code);
    }
    return usable;
}

void SettingsWindow::toggleLanguage(const QString &code, bool on)
{
    // A chosen language whose data is gone is dropped here rather than left
    // to hold one of the four places unseen.
    QStringList languages = usableLanguages();
    if (on && !languages.contains(code))
        languages.append(code);
    else if (!on)
        languages.removeAll(code);
    m_settings.recognition().setOcrLanguages(languages);
    updateTextRecognition();
}

void SettingsWindow::updateTextRecognition()
{
    const QStringList chosen = usableLanguages();
    const bool full = chosen.size() >= maxOcrLanguages;
    for (QCheckBox *box : std::as_const(m_languageBoxes)) {
        const QString code = box->property("marloxLanguage").toString();
        const bool english = code == QLatin1String("eng");
        const bool on = english || chosen.contains(code);
        box->setChecked(on);
        box->setEnabled(!english && (on || !full));
    }
    m_languageLimit->setVisible(full && m_installedLanguages.size() > maxOcrLanguages);
    m_onlyEnglish->setVisible(m_installedLanguages.size() <= 1);

    const RecognitionProgress progress = m_settings.recognition().progress();
    const QLocale locale;
    m_recogniseAgain->setEnabled(!progress.running);
    m_cancelRecognition->setVisible(progress.running);
    m_recognitionBar->setVisible(progress.running);
    m_recognitionBar->setRange(0, int(qMax<qsizetype>(progress.total, 0)));
    m_recognitionBar->setValue(int(progress.done));
    QString status;
    if (progress.running) {
        status = progress.total == 0
            ? QStringLiteral("Recognising…")
            : QStringLiteral("Recognising %1 of %2…")
                  .arg(locale.toString(qlonglong(qMin(progress.done + 1, progress.total))),
                      locale.toString(qlonglong(progress.total)));
    } else if (progress.finished) {
        const qsizetype read = progress.done - progress.skipped;
        status = progress.cancelled
            ? QStringLiteral("Stopped after %1 of %2 screenshots.")
                  .arg(locale.toString(qlonglong(progress.done)),
                      locale.toString(qlonglong(progress.total)))
            : QStringLiteral("Read the text of %1 %2 again.")
                  .arg(locale.toString(qlonglong(read)),
                      read == 1 ? QStringLiteral("screenshot") : QStringLiteral("screenshots"));
        if (progress.skipped == 1)
            status += QStringLiteral(" One couldn't be read and keeps its old text.");
        else if (progress.skipped > 1)
            status += QStringLiteral(" %1 couldn't be read and keep their old text.")
                          .arg(locale.toString(qlonglong(progress.skipped)));
    }
    m_recognitionStatus->setText(status);
}

QWidget *SettingsWindow::folderRow(const QString &label, const QString &identifier,
    QLabel **pathLabel, std::function<void()> change)
{
    auto *row = new QWidget(this);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto *column = new QWidget(row);
    column->setObjectName(identifier);
    auto *columnLayout = new QVBoxLayout(column);
    columnLayout->setContentsMargins(0, 0, 0, 0);
    columnLayout->setSpacing(3);
    columnLayout->addWidget(UiText::caption(label, column));
    *pathLabel = UiText::body(QString(), column);
    (*pathLabel)->setWordWrap(false);
    (*pathLabel)->setProperty("marloxLabel", label);
    columnLayout->addWidget(*pathLabel);
    layout->addWidget(column, 1);
    auto *button = new QPushButton(QStringLiteral("Change…"), row);
    button->setObjectName(identifier + QStringLiteral(".change"));
    button->setAccessibleName(QStringLiteral("Change ") + label);
    connect(button, &QPushButton::clicked, this, std::move(change), Qt::QueuedConnection);
    layout->addWidget(button);
    return row;
}

void SettingsWindow::update()
{
    const bool autoSave = m_settings.autoSaveEnabled();
    m_autoSave->setChecked(autoSave);
    m_autoSaveExplanation->setText(autoSave
            ? QStringLiteral("Every new screenshot is moved to the General folder with its "
                             "default name (app and time). No prompt is shown.")
            : QStringLiteral("After every screenshot, a prompt lets you name it and choose a "
                             "folder."));
    if (m_autoUpdate)
        m_autoUpdate->setChecked(m_updates.automaticallyChecksForUpdates());

    const WatchStatus status = m_settings.watchStatus();
    if (status.isWatching()) {
        m_watchStatus->setText(QStringLiteral("Watching ") + displayPath(status.folder));
        UiText::makeSecondary(m_watchStatus);
    } else {
        m_watchStatus->setText(QStringLiteral("Not watching: ") + status.message);
        UiText::makeError(m_watchStatus);
    }

    const auto showFolder = [](QWidget *row, QLabel *path, const QString &folder) {
        const QString shown = folder.isEmpty() ? QStringLiteral("Not set") : displayPath(folder);
        // Long paths keep their end in view.
        path->setText(path->fontMetrics().elidedText(shown, Qt::ElideLeft, 320));
        path->setToolTip(shown);
        QWidget *column = row->findChild<QWidget *>(path->parentWidget()->objectName());
        column->setAccessibleName(
            path->property("marloxLabel").toString() + QStringLiteral(", ") + shown);
    };
    showFolder(m_screenshotRow, m_screenshotPath, m_settings.locations().screenshotFolder());
    showFolder(m_libraryRow, m_libraryPath, m_settings.locations().libraryRoot());

    m_systemLocation->setText(QStringLiteral("Your screenshot tool saves to ")
        + displayPath(ScreenshotLocation::systemScreenshotFolder()));
    const QString different = m_settings.systemFolderIfDifferent();
    m_useSystem->setVisible(!different.isEmpty());
    m_useSystem->setText(QStringLiteral("Use ") + displayPath(different));
}

} // namespace marlox
