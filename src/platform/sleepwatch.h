#pragma once

#include <QObject>

namespace marlox {

// Tells when the computer has woken from sleep, as logind announces it on the
// system bus. Without a system bus it stays silent.
class SleepWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SleepWatcher(QObject *parent = nullptr);
    bool isListening() const { return m_listening; }

Q_SIGNALS:
    void woke();

private Q_SLOTS:
    void handlePrepareForSleep(bool sleeping);

private:
    bool m_listening = false;
};

} // namespace marlox
