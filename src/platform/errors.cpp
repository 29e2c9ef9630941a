#include "platform/errors.h"

#include <cerrno>
#include <cstring>

namespace marlox {

const char *Error::what() const noexcept
{
    m_what = description().toUtf8();
    return m_what.constData();
}

FileError::FileError(int code, QString path, QString operation)
    : m_code(code), m_path(std::move(path)), m_operation(std::move(operation))
{ }

bool FileError::isNoSuchFile() const
{
    return m_code == ENOENT;
}

FileError FileError::noSuchFile()
{
    return FileError(ENOENT, QString());
}

QString FileError::description() const
{
    const QString reason = QString::fromLocal8Bit(std::strerror(m_code));
    if (m_path.isEmpty())
        return reason;
    if (m_operation.isEmpty())
        return QStringLiteral("%1: %2").arg(m_path, reason);
    return QStringLiteral("%1 %2: %3").arg(m_operation, m_path, reason);
}

QString describe(const std::exception &error)
{
    if (const auto *own = dynamic_cast<const Error *>(&error))
        return own->description();
    return QString::fromLocal8Bit(error.what());
}

} // namespace marlox
