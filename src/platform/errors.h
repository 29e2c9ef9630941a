#pragma once

#include <exception>

#include <QByteArray>
#include <QString>

namespace marlox {

// Base of every error a Marlox service throws. description() is the text a
// log line or an alert shows.
class Error : public std::exception
{
public:
    virtual QString description() const = 0;
    const char *what() const noexcept override;

private:
    mutable QByteArray m_what;
};

// A failed file-system call, carrying the errno it failed with. ENOENT plays
// the part of "no such file" in the coordinator's error texts.
class FileError : public Error
{
public:
    FileError(int code, QString path, QString operation = {});

    int code() const { return m_code; }
    const QString &path() const { return m_path; }
    bool isNoSuchFile() const;
    QString description() const override;

    // The error for "no library folder is set": a no-such-file error without a path.
    static FileError noSuchFile();

private:
    int m_code;
    QString m_path;
    QString m_operation;
};

// The database's own message, or "sqlite3_open failed".
class SQLiteError : public Error
{
public:
    explicit SQLiteError(QString message, int code = 0)
        : m_message(std::move(message)), m_code(code)
    { }
    const QString &message() const { return m_message; }
    // SQLite's extended result code; 0 when not known.
    int code() const { return m_code; }
    QString description() const override { return m_message; }

private:
    QString m_message;
    int m_code = 0;
};

// The description of any exception, for log lines.
QString describe(const std::exception &error);

} // namespace marlox
