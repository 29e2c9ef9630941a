#include "filing/contenthash.h"

#include <memory>

#include <fcntl.h>
#include <unistd.h>

#include <QFile>

#include <openssl/evp.h>

namespace marlox::ContentHash {

namespace {
struct DigestContext
{
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx { EVP_MD_CTX_new(),
        &EVP_MD_CTX_free };
    DigestContext() { EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr); }
    void update(const void *data, size_t size) { EVP_DigestUpdate(ctx.get(), data, size); }
    QString finish()
    {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(ctx.get(), digest, &length);
        return QString::fromLatin1(
            QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex());
    }
};
} // namespace

QString ofData(const QByteArray &data)
{
    DigestContext digest;
    digest.update(data.constData(), size_t(data.size()));
    return digest.finish();
}

std::optional<QString> ofFile(const QString &path)
{
    // O_NONBLOCK keeps a FIFO named like an image from blocking the reader.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    DigestContext digest;
    std::unique_ptr<char[]> buffer(new char[1 << 20]);
    for (;;) {
        const ssize_t n = ::read(fd, buffer.get(), 1 << 20);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        digest.update(buffer.get(), size_t(n));
    }
    ::close(fd);
    return digest.finish();
}

} // namespace marlox::ContentHash
