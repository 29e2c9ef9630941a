#include "library/thumbnailprovider.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include <QFileInfo>
#include <QImageReader>
#include <QMetaObject>
#include <QMutexLocker>

namespace marlox {

struct ThumbnailProvider::Request::Job
{
    QMutex lock;
    bool isCancelled = false;
};

void ThumbnailProvider::Request::cancel()
{
    if (!m_job)
        return;
    QMutexLocker lock(&m_job->lock);
    m_job->isCancelled = true;
}

QString ThumbnailProvider::Key::requestSlot() const
{
    return path + QLatin1Char('|') + QString::number(pixelWidth) + QLatin1Char('x')
        + QString::number(pixelHeight);
}

QString ThumbnailProvider::Key::cacheKey() const
{
    return path + QLatin1Char('|')
        + QString::number(referenceSeconds(modificationDate), 'g', QLocale::FloatingPointShortest)
        + QLatin1Char('|') + QString::number(pixelWidth) + QLatin1Char('x')
        + QString::number(pixelHeight);
}

double ThumbnailProvider::referenceSeconds(const QDateTime &time)
{
    static const qint64 reference
        = QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
    return static_cast<double>(time.toMSecsSinceEpoch() - reference) / 1000.0;
}

ThumbnailProvider &ThumbnailProvider::shared()
{
    static ThumbnailProvider provider(defaultConcurrency, defaultCostLimit);
    return provider;
}

ThumbnailProvider::ThumbnailProvider(int concurrency, qsizetype costLimit)
    : m_alive(std::make_shared<ThumbnailProvider *>(this))
{
    m_cache.setMaxCost(costLimit);
    m_pool.setObjectName(QStringLiteral("Marlox.ThumbnailProvider"));
    m_pool.setMaxThreadCount(std::max(1, concurrency));
}

ThumbnailProvider::~ThumbnailProvider()
{
    m_pool.clear();
    m_alive.reset();
    m_pool.waitForDone();
}

QImage ThumbnailProvider::cachedImage(const QString &path, int pixelWidth, int pixelHeight) const
{
    const Key probe { path, {}, pixelWidth, pixelHeight };
    std::optional<Key> key;
    {
        QMutexLocker lock(&m_lock);
        const auto found = m_latestKeys.constFind(probe.requestSlot());
        if (found != m_latestKeys.cend())
            key = *found;
    }
    if (!key)
        return {};
    QMutexLocker lock(&m_cacheLock);
    if (const QImage *image = m_cache.object(key->cacheKey()))
        return *image;
    return {};
}

void ThumbnailProvider::clearCache()
{
    QMutexLocker lock(&m_cacheLock);
    m_cache.clear();
}

ThumbnailProvider::Request ThumbnailProvider::thumbnail(
    const QString &path, int pixelWidth, int pixelHeight, QObject *context, Callback done)
{
    Request request;
    request.m_job = std::make_shared<Request::Job>();
    std::weak_ptr<ThumbnailProvider *> weakProvider = m_alive;
    QPointer<QObject> receiver(context);
    m_pool.start([job = request.m_job, weakProvider, receiver, path, pixelWidth, pixelHeight,
                     done = std::move(done)] {
        bool cancelled;
        {
            QMutexLocker lock(&job->lock);
            cancelled = job->isCancelled;
        }
        QImage image;
        if (!cancelled) {
            if (const auto provider = weakProvider.lock())
                image = (*provider)->load(path, pixelWidth, pixelHeight);
        }
        if (!receiver)
            return;
        QMetaObject::invokeMethod(
            receiver.data(), [done, image] { done(image); }, Qt::QueuedConnection);
    });
    return request;
}

QImage ThumbnailProvider::load(const QString &path, int pixelWidth, int pixelHeight)
{
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    const QDateTime modified = info.lastModified();
    if (!modified.isValid())
        return {};
    const Key key { path, modified, pixelWidth, pixelHeight };
    const QString cacheKey = key.cacheKey();
    {
        QMutexLocker lock(&m_lock);
        m_latestKeys.insert(key.requestSlot(), key);
    }
    {
        QMutexLocker lock(&m_cacheLock);
        if (const QImage *image = m_cache.object(cacheKey))
            return *image;
    }
    ++m_decodeCount;
    QImage image = decode(path, pixelWidth, pixelHeight);
    if (image.isNull())
        return {};
    const qsizetype cost = static_cast<qsizetype>(image.bytesPerLine()) * image.height();
    QMutexLocker lock(&m_cacheLock);
    m_cache.insert(cacheKey, new QImage(image), cost);
    return image;
}

QSize ThumbnailProvider::pixelSize(double pointWidth, double pointHeight, double displayScale)
{
    const double scale = std::max(1.0, displayScale);
    return { std::max(1, static_cast<int>(pointWidth * scale)),
        std::max(1, static_cast<int>(pointHeight * scale)) };
}

int ThumbnailProvider::maxThumbnailSide(int width, int height, int pixelWidth, int pixelHeight)
{
    int side;
    if (width <= 0 || height <= 0) {
        side = std::max(pixelWidth, pixelHeight);
    } else {
        const double scale = std::min({ static_cast<double>(pixelWidth) / width,
            static_cast<double>(pixelHeight) / height, 1.0 });
        side = static_cast<int>(std::ceil(std::max(width, height) * scale));
    }
    return std::max(1, side);
}

QImage ThumbnailProvider::decode(const QString &path, int pixelWidth, int pixelHeight)
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    if (!reader.canRead())
        return {};
    QSize stored = reader.size();
    if (!stored.isValid())
        stored = QSize(0, 0);
    // Orientations 5 to 8 turn the image by a quarter.
    const bool quarterTurn = reader.transformation() & QImageIOHandler::TransformationRotate90;
    const QSize oriented = quarterTurn ? stored.transposed() : stored;
    const int side = maxThumbnailSide(oriented.width(), oriented.height(), pixelWidth, pixelHeight);
    if (oriented.width() > 0 && oriented.height() > 0) {
        const double scale
            = static_cast<double>(side) / std::max(oriented.width(), oriented.height());
        // The reader scales before it applies the orientation.
        const QSize target(std::max(1, static_cast<int>(std::lround(stored.width() * scale))),
            std::max(1, static_cast<int>(std::lround(stored.height() * scale))));
        if (target != stored)
            reader.setScaledSize(target);
        QImage image;
        if (!reader.read(&image))
            return {};
        return image;
    }
    // No size known up front: decode, then shrink to fit the box.
    QImage image;
    if (!reader.read(&image))
        return {};
    if (std::max(image.width(), image.height()) > side)
        image = image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

} // namespace marlox
