#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;

namespace marlox {

class LoginItemController;

// "Open Marlox at login" with its note, approval button and error line.
class LaunchAtLoginToggle : public QWidget
{
    Q_OBJECT

public:
    explicit LaunchAtLoginToggle(LoginItemController *controller, QWidget *parent = nullptr);

private:
    void update();

    LoginItemController *m_controller;
    QCheckBox *m_toggle;
    QLabel *m_note;
    QPushButton *m_openSettings;
    QLabel *m_error;
};

} // namespace marlox
