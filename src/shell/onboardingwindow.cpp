#include "shell/onboardingwindow.h"

#include <QApplication>
#include <QDir>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include "app/appstate.h"
#include "app/loginitemcontroller.h"
#include "platform/homedirectory.h"
#include "platform/screenshotlocation.h"
#include "shell/appicons.h"
#include "shell/backlogoffer.h"
#include "shell/launchatlogintoggle.h"
#include "shell/uitext.h"
#include "storage/preferences.h"

namespace marlox {

namespace {
QPointer<QWidget> g_window;
bool g_trayAbsent = false;

QLabel *confirmation(const QString &text, QWidget *parent)
{
    QLabel *label = UiText::body(text, parent);
    UiText::makeConfirmation(label);
    return label;
}

bool samePath(const QString &a, const QString &b)
{
    return QDir::cleanPath(a) == QDir::cleanPath(b);
}
} // namespace

OnboardingView::OnboardingView(AppState &state, bool isRepair, OnboardingStep firstStep,
    std::function<void()> onFinish, std::function<void()> openLibrary, QWidget *parent)
    : QWidget(parent),
      m_state(state),
      m_isRepair(isRepair),
      m_step(firstStep),
      m_tryItStartedAt(QDateTime::currentDateTime()),
      m_onFinish(std::move(onFinish)),
      m_openLibrary(std::move(openLibrary)),
      m_loginItem(new LoginItemController(this)),
      m_trayAbsent(g_trayAbsent)
{
    setObjectName(QStringLiteral("onboarding"));
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    auto *holder = new QWidget(this);
    m_content = new QVBoxLayout(holder);
    m_content->setContentsMargins(24, 24, 24, 16);
    outer->addWidget(holder, 1);

    for (auto signal : { &AppState::screenshotFolderChanged, &AppState::libraryRootChanged,
             &AppState::lastDetectionAtChanged, &AppState::lastSavedAtChanged })
        connect(&state, signal, this, &OnboardingView::render);
    setStep(firstStep);
}

void OnboardingView::setTrayAbsent(bool absent)
{
    if (m_trayAbsent == absent)
        return;
    m_trayAbsent = absent;
    render();
}

void OnboardingView::setStep(OnboardingStep step)
{
    m_step = step;
    if (step == OnboardingStep::tryIt)
        m_tryItStartedAt = QDateTime::currentDateTime();
    if (step == OnboardingStep::done)
        m_loginItem->applyDefaultOnce();
    render();
}

void OnboardingView::goBack()
{
    if (const auto previous = OnboardingFlow::previous(m_step))
        setStep(*previous);
}

void OnboardingView::goForward()
{
    if (isForwardBlocked())
        return;
    const auto next = OnboardingFlow::next(m_step, m_isRepair, !m_state.libraryRoot().isEmpty());
    if (next)
        setStep(*next);
    else if (m_onFinish)
        m_onFinish();
}

bool OnboardingView::isForwardBlocked() const
{
    return (m_step == OnboardingStep::screenshotFolder && m_state.screenshotFolder().isEmpty())
        || (m_step == OnboardingStep::libraryFolder && m_state.libraryRoot().isEmpty());
}

QPushButton *OnboardingView::button(
    const QString &text, const QString &name, std::function<void()> action)
{
    auto *b = new QPushButton(text, m_page);
    b->setObjectName(name);
    // Queued: the action may open a modal panel, and the page it sits on is
    // rebuilt when the chosen folder arrives.
    connect(
        b, &QPushButton::clicked, this,
        [this, action = std::move(action)] {
            action();
            // A closed panel hands the keyboard back to whatever the window
            // manager picks; Return must reach this guide's default button.
            if (QWidget *guide = window(); guide && guide->isVisible())
                guide->activateWindow();
        },
        Qt::QueuedConnection);
    return b;
}

void OnboardingView::render()
{
    // Rebuilt from the live state: a chosen folder or a capture shows at once.
    if (m_page) {
        m_page->hide();
        m_page->deleteLater();
    }
    m_page = new QWidget(this);
    auto *page = new QVBoxLayout(m_page);
    page->setContentsMargins(0, 0, 0, 0);
    m_content->addWidget(m_page);
    switch (m_step) {
    case OnboardingStep::welcome:
        buildWelcome();
        break;
    case OnboardingStep::screenshotFolder:
        buildScreenshotFolder();
        break;
    case OnboardingStep::libraryFolder:
        buildLibraryFolder();
        break;
    case OnboardingStep::tryIt:
        buildTryIt();
        break;
    case OnboardingStep::done:
        buildDone();
        break;
    }
    page->addStretch(1);
    buildFooter();
    // Return alone drives the guide: the step's default button has the focus.
    for (QPushButton *candidate : m_page->findChildren<QPushButton *>()) {
        if (candidate->isDefault() && candidate->isEnabled()) {
            candidate->setFocus(Qt::OtherFocusReason);
            break;
        }
    }
}

void OnboardingView::buildWelcome()
{
    auto *layout = static_cast<QVBoxLayout *>(m_page->layout());
    layout->setSpacing(16);
    layout->addWidget(UiText::title(QStringLiteral("Welcome to Marlox"), m_page));
    layout->addWidget(UiText::body(
        QStringLiteral("Marlox names and files every screenshot you take, and lets you search the "
                       "text inside them."),
        m_page));
    auto *row = new QHBoxLayout;
    row->setSpacing(12);
    auto *tile = new QLabel(m_page);
    tile->setPixmap(AppIcons::tray().pixmap(28, 28));
    tile->setFixedSize(44, 44);
    tile->setAlignment(Qt::AlignCenter);
    tile->setStyleSheet(QStringLiteral("background: rgba(128,128,128,38); border-radius: 6px;"));
    tile->setAccessibleName(QString());
    row->addWidget(tile);
    QLabel *where = UiText::body(m_trayAbsent
            ? QStringLiteral("Your desktop has no system tray, so Marlox keeps its menu in the "
                             "Marlox Library window, under “Marlox” in its menu bar.")
            : QStringLiteral("Marlox lives in your system tray. Look for this icon."),
        m_page);
    where->setObjectName(QStringLiteral("onboarding.whereMenu"));
    UiText::makeSecondary(where);
    row->addWidget(where, 1);
    layout->addLayout(row);
    QLabel *setup = UiText::body(QStringLiteral("Setup takes about a minute."), m_page);
    UiText::makeSecondary(setup);
    layout->addWidget(setup);
}

void OnboardingView::buildScreenshotFolder()
{
    auto *layout = static_cast<QVBoxLayout *>(m_page->layout());
    layout->setSpacing(14);
    layout->addWidget(UiText::title(QStringLiteral("Your screenshot folder"), m_page));
    layout->addWidget(UiText::body(QStringLiteral("Marlox watches the folder your computer saves "
                                                  "screenshots to. Confirm the folder once."),
        m_page));
    const QString system = ScreenshotLocation::systemScreenshotFolder();
    QPointer<AppState> state(&m_state);
    const auto chooseDifferent = [state] {
        if (state)
            state->chooseScreenshotFolder(
                QStringLiteral("Choose the folder your screenshots are saved to."),
                realHomeDirectory());
    };
    if (m_state.screenshotFolder().isEmpty()) {
        QLabel *saves = UiText::body(QStringLiteral("Your computer saves screenshots to:"), m_page);
        UiText::makeSecondary(saves);
        layout->addWidget(saves);
        QLabel *path = UiText::body(displayPath(system), m_page);
        path->setFont(QFont(QStringLiteral("monospace")));
        layout->addWidget(path);
        auto *row = new QHBoxLayout;
        QPushButton *allow = button(QStringLiteral("Allow Access"),
            QStringLiteral("onboarding.allowScreenshotFolder"), [state] {
                if (state)
                    state->chooseScreenshotFolder(
                        QStringLiteral("Click Open to let Marlox watch this folder."));
            });
        allow->setDefault(true);
        row->addWidget(allow);
        row->addWidget(button(QStringLiteral("Choose a different folder…"),
            QStringLiteral("onboarding.chooseScreenshotFolder"), chooseDifferent));
        row->addStretch(1);
        layout->addLayout(row);
    } else {
        layout->addWidget(confirmation(
            QStringLiteral("Watching ") + displayPath(m_state.screenshotFolder()), m_page));
        if (!samePath(m_state.screenshotFolder(), system))
            layout->addWidget(UiText::caption(QStringLiteral("Your computer saves screenshots to ")
                    + displayPath(system) + QStringLiteral(", so Marlox won't see new ones there."),
                m_page));
        layout->addWidget(button(QStringLiteral("Choose a different folder…"),
                              QStringLiteral("onboarding.chooseScreenshotFolder"), chooseDifferent),
            0, Qt::AlignLeft);
    }
}

void OnboardingView::buildLibraryFolder()
{
    auto *layout = static_cast<QVBoxLayout *>(m_page->layout());
    layout->setSpacing(14);
    layout->addWidget(UiText::title(QStringLiteral("Your library folder"), m_page));
    layout->addWidget(UiText::body(
        QStringLiteral("Marlox moves the screenshots you save here, sorted into subfolders."),
        m_page));
    QPointer<AppState> state(&m_state);
    const auto choose = [state] {
        if (state)
            state->chooseLibraryRoot(
                QStringLiteral("Choose where Marlox keeps your saved screenshots."));
    };
    if (m_state.libraryRoot().isEmpty()) {
        auto *row = new QHBoxLayout;
        // Names the folder it makes: the user's Pictures folder may be
        // called otherwise.
        QPushButton *create = button(QStringLiteral("Create ")
                + displayPath(FolderPaths::defaultLibraryParent() + QStringLiteral("/Marlox")),
            QStringLiteral("onboarding.createLibraryFolder"), [state] {
                if (state)
                    state->createLibraryRoot(
                        QStringLiteral("Click Create to make your Marlox library."));
            });
        create->setDefault(true);
        row->addWidget(create);
        row->addWidget(button(QStringLiteral("Choose existing…"),
            QStringLiteral("onboarding.chooseLibraryFolder"), choose));
        row->addStretch(1);
        layout->addLayout(row);
    } else {
        layout->addWidget(
            confirmation(QStringLiteral("Library: ") + displayPath(m_state.libraryRoot()), m_page));
        layout->addWidget(button(QStringLiteral("Choose a different folder…"),
                              QStringLiteral("onboarding.chooseLibraryFolder"), choose),
            0, Qt::AlignLeft);
    }
}

void OnboardingView::buildTryIt()
{
    auto *layout = static_cast<QVBoxLayout *>(m_page->layout());
    layout->setSpacing(14);
    layout->addWidget(UiText::title(QStringLiteral("Try it"), m_page));
    QLabel *press
        = UiText::body(QStringLiteral("Press Print Screen and take a screenshot now."), m_page);
    QFont font = press->font();
    font.setPointSizeF(font.pointSizeF() * 1.2);
    press->setFont(font);
    layout->addWidget(press);

    auto *status = new QWidget(m_page);
    status->setObjectName(QStringLiteral("onboarding.tryItStatus"));
    auto *row = new QHBoxLayout(status);
    row->setContentsMargins(0, 0, 0, 0);
    QString text;
    switch (OnboardingFlow::tryItPhase(
        m_tryItStartedAt, m_state.lastDetectionAt(), m_state.lastSavedAt())) {
    case OnboardingFlow::TryItPhase::waiting: {
        auto *busy = new QProgressBar(status);
        busy->setRange(0, 0);
        busy->setFixedWidth(60);
        busy->setTextVisible(false);
        row->addWidget(busy);
        text = QStringLiteral("Waiting for a screenshot…");
        QLabel *label = UiText::body(text, status);
        UiText::makeSecondary(label);
        row->addWidget(label, 1);
        break;
    }
    case OnboardingFlow::TryItPhase::detected:
        text = QStringLiteral("Got it. Give it a name and press Return to save.");
        {
            // A drawn symbol: an emoji needs a colour font many desktops lack.
            auto *symbol = new QLabel(status);
            const int side = symbol->fontMetrics().height();
            symbol->setPixmap(
                QIcon::fromTheme(QStringLiteral("camera-photo-symbolic"), AppIcons::tray())
                    .pixmap(side, side));
            row->addWidget(symbol);
            row->addWidget(UiText::body(text, status), 1);
        }
        break;
    case OnboardingFlow::TryItPhase::saved:
        text = QStringLiteral("Saved!");
        row->addWidget(confirmation(text, status), 1);
        break;
    }
    status->setAccessibleName(text);
    layout->addWidget(status);

    const QString folder = m_state.screenshotFolder();
    if (!folder.isEmpty() && !samePath(folder, ScreenshotLocation::systemScreenshotFolder()))
        layout->addWidget(UiText::caption(QStringLiteral("Marlox only sees screenshots saved to ")
                + displayPath(folder) + QLatin1Char('.'),
            m_page));
}

void OnboardingView::buildDone()
{
    auto *layout = static_cast<QVBoxLayout *>(m_page->layout());
    layout->setSpacing(16);
    layout->addWidget(UiText::title(QStringLiteral("You're all set"), m_page));
    layout->addWidget(
        UiText::body(QStringLiteral("Take screenshots as usual. Marlox asks for a name, "
                                    "files them, and makes their text searchable."),
            m_page));
    layout->addWidget(new LaunchAtLoginToggle(m_loginItem, m_page));
    layout->addWidget(new BacklogOffer(m_state.backlogImport(), m_state.locations(), m_page));
    layout->addWidget(
        button(QStringLiteral("Open Library"), QStringLiteral("onboarding.openLibrary"),
            [this] {
                if (m_openLibrary)
                    m_openLibrary();
            }),
        0, Qt::AlignLeft);
}

void OnboardingView::buildFooter()
{
    auto *footer = new QWidget(m_page);
    auto *line = new QFrame(footer);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    auto *column = new QVBoxLayout(footer);
    column->setContentsMargins(0, 8, 0, 0);
    column->addWidget(line);
    auto *row = new QHBoxLayout;
    row->addWidget(UiText::caption(OnboardingFlow::counterText(m_step), footer));
    row->addStretch(1);
    if (OnboardingFlow::previous(m_step)) {
        auto *back = new QPushButton(QStringLiteral("Back"), footer);
        back->setObjectName(QStringLiteral("onboarding.back"));
        connect(back, &QPushButton::clicked, this, &OnboardingView::goBack, Qt::QueuedConnection);
        row->addWidget(back);
    }
    auto *forward = new QPushButton(footer);
    if (m_step == OnboardingStep::done) {
        forward->setText(QStringLiteral("Finish"));
        forward->setObjectName(QStringLiteral("onboarding.finish"));
    } else {
        forward->setObjectName(QStringLiteral("onboarding.continue"));
        const bool saved = OnboardingFlow::tryItPhase(
                               m_tryItStartedAt, m_state.lastDetectionAt(), m_state.lastSavedAt())
            == OnboardingFlow::TryItPhase::saved;
        forward->setText(m_step == OnboardingStep::tryIt && !saved ? QStringLiteral("Skip")
                                                                   : QStringLiteral("Continue"));
    }
    const bool blocked = isForwardBlocked();
    forward->setEnabled(!blocked);
    forward->setDefault(!blocked);
    forward->setAutoDefault(!blocked);
    connect(forward, &QPushButton::clicked, this, &OnboardingView::goForward, Qt::QueuedConnection);
    row->addWidget(forward);
    column->addLayout(row);
    static_cast<QVBoxLayout *>(m_page->layout())->addWidget(footer);
}

void OnboardingWindowController::showIfNeeded(AppState &state, std::function<void()> openLibrary)
{
    if (state.screenshotFolder().isEmpty() || state.libraryRoot().isEmpty()
        || !Preferences::boolValue(Preferences::onboardingCompleted, false))
        present(state, std::move(openLibrary));
}

void OnboardingWindowController::present(AppState &state, std::function<void()> openLibrary)
{
    if (g_window) {
        g_window->showNormal();
        g_window->raise();
        g_window->activateWindow();
        return;
    }
    const auto start
        = OnboardingFlow::start(Preferences::boolValue(Preferences::onboardingCompleted, false),
            !state.screenshotFolder().isEmpty(), !state.libraryRoot().isEmpty());
    auto *window
        = new QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(QStringLiteral("Welcome to Marlox"));
    window->setWindowIcon(AppIcons::application());
    QPointer<QWidget> weak(window);
    auto *view = new OnboardingView(
        state, start.isRepair, start.step,
        [weak] {
            Preferences::setValue(Preferences::onboardingCompleted, true);
            if (weak)
                weak->close();
        },
        std::move(openLibrary), window);
    auto *layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view);
    window->setFixedSize(520, 400);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        window->move(screen->availableGeometry().center() - window->rect().center());
    g_window = window;
    window->show();
    window->raise();
    window->activateWindow();
    // A window opened in the same turn (the trayless library) is raised
    // from the event loop: stay in front of it.
    QTimer::singleShot(0, window, [window] {
        window->raise();
        window->activateWindow();
    });
}

void OnboardingWindowController::setTrayAbsent(bool absent)
{
    g_trayAbsent = absent;
    if (auto *view = g_window ? g_window->findChild<OnboardingView *>() : nullptr)
        view->setTrayAbsent(absent);
}

QWidget *OnboardingWindowController::window()
{
    return g_window;
}

} // namespace marlox
