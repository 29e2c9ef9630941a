#include "shell/launchatlogintoggle.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "app/loginitemcontroller.h"
#include "shell/uitext.h"

namespace marlox {

LaunchAtLoginToggle::LaunchAtLoginToggle(LoginItemController *controller, QWidget *parent)
    : QWidget(parent), m_controller(controller)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    m_toggle = new QCheckBox(QStringLiteral("Open Marlox at login"), this);
    m_toggle->setObjectName(QStringLiteral("loginItem.toggle"));
    m_note = UiText::caption(QString(), this);
    m_openSettings = new QPushButton(QStringLiteral("Open Login Items Settings…"), this);
    m_openSettings->setObjectName(QStringLiteral("loginItem.openSettings"));
    m_error = UiText::caption(QString(), this);
    UiText::makeError(m_error);
    layout->addWidget(m_toggle);
    layout->addWidget(m_note);
    layout->addWidget(m_openSettings, 0, Qt::AlignLeft);
    layout->addWidget(m_error);

    connect(m_toggle, &QCheckBox::clicked, this, [this](bool on) { m_controller->setEnabled(on); });
    connect(m_openSettings, &QPushButton::clicked, this, [] {
        QDesktopServices::openUrl(QUrl::fromLocalFile(QStringLiteral("/etc/xdg/autostart")));
    });
    connect(controller, &LoginItemController::stateChanged, this, &LaunchAtLoginToggle::update);
    connect(
        controller, &LoginItemController::errorMessageChanged, this, &LaunchAtLoginToggle::update);
    update();
}

void LaunchAtLoginToggle::update()
{
    const LoginItemState state = m_controller->state();
    m_toggle->setChecked(m_controller->isOn());
    QString note;
    if (state == LoginItemState::requiresApproval)
        note = QStringLiteral("Allow Marlox in Login Items to finish turning this on.");
    else if (state == LoginItemState::unavailable)
        note = QStringLiteral("Your desktop can't set this up right now.");
    m_note->setText(note);
    m_note->setVisible(!note.isEmpty());
    m_openSettings->setVisible(state == LoginItemState::requiresApproval);
    m_error->setText(m_controller->errorMessage());
    m_error->setVisible(m_controller->hasError());
}

} // namespace marlox
