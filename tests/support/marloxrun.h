#pragma once

#include <QProcess>
#include <QString>

namespace marlox::test {

// The marlox binary running offscreen in the test's profile, its output and
// errors merged; killed when the object goes, unless it ended before.
class MarloxRun
{
public:
    MarloxRun();
    ~MarloxRun();
    MarloxRun(const MarloxRun &) = delete;
    MarloxRun &operator=(const MarloxRun &) = delete;

    bool started() const { return m_started; }
    QProcess &process() { return m_process; }
    qint64 pid() const { return m_process.processId(); }

    // Waits until the output holds text; false when the time runs out or
    // the process ends first.
    bool waitFor(const QString &text, int timeoutMs = 30000);
    // Everything printed so far.
    QString output();
    void signal(int number);
    // Waits for the end and reads the rest of the output.
    bool finished(int timeoutMs = 30000);

private:
    QProcess m_process;
    QString m_output;
    bool m_started = false;
};

// The index the binary keeps in the test's profile.
QString binaryIndexPath();
// Removes that index with its log files, as when it is lost.
void removeBinaryIndex();
// Sets the binary up as a returning user: preferences forgotten, onboarding
// done, these folders chosen (created if missing), auto-save as given.
void configureBinary(const QString &shots, const QString &library, bool autoSave = true);

} // namespace marlox::test
