#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include <QCache>
#include <QDateTime>
#include <QHash>
#include <QImage>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QThreadPool>

namespace marlox {

// Decodes small thumbnails off the GUI thread into a byte-bounded memory
// cache. One shared instance serves the whole application; any thread may
// call it, and callbacks come back on the requester's thread.
class ThumbnailProvider
{
public:
    static constexpr int defaultConcurrency = 4;
    static constexpr qsizetype defaultCostLimit = 134217728; // 128 MiB of bitmap bytes

    struct Key
    {
        QString path;
        QDateTime modificationDate;
        int pixelWidth = 0;
        int pixelHeight = 0;

        QString requestSlot() const;
        QString cacheKey() const;
        bool operator==(const Key &) const = default;
    };

    // A pending asynchronous request. Cancelling one that has not started
    // means it never decodes; one already decoding still delivers.
    class Request
    {
    public:
        Request() = default;
        void cancel();
        bool isValid() const { return m_job != nullptr; }

    private:
        friend class ThumbnailProvider;
        struct Job;
        std::shared_ptr<Job> m_job;
    };

    using Callback = std::function<void(const QImage &image)>; // null image: none

    static ThumbnailProvider &shared();

    explicit ThumbnailProvider(
        int concurrency = defaultConcurrency, qsizetype costLimit = defaultCostLimit);
    ~ThumbnailProvider();
    ThumbnailProvider(const ThumbnailProvider &) = delete;
    ThumbnailProvider &operator=(const ThumbnailProvider &) = delete;

    // Never decodes: the thumbnail last decoded or looked up for this slot,
    // if the cache still has it.
    QImage cachedImage(const QString &path, int pixelWidth, int pixelHeight) const;

    // Decodes on the provider's pool and calls `done` exactly once on the
    // thread of `context`, unless `context` is gone by then.
    Request thumbnail(
        const QString &path, int pixelWidth, int pixelHeight, QObject *context, Callback done);

    // Drops every cached thumbnail: nothing shows them once the library closes.
    void clearCache();

    // Synchronous decode through the cache, as a pool thread does it.
    QImage load(const QString &path, int pixelWidth, int pixelHeight);

    static QSize pixelSize(double pointWidth, double pointHeight, double displayScale);
    // The largest side of a thumbnail of an (oriented) source inside the box.
    static int maxThumbnailSide(int width, int height, int pixelWidth, int pixelHeight);
    // Decodes at most the box, orientation applied, never enlarged.
    static QImage decode(const QString &path, int pixelWidth, int pixelHeight);

    // For tests: decodes run so far, and the pool the decodes share.
    int decodeCount() const { return m_decodeCount.load(); }
    QThreadPool &pool() { return m_pool; }

    // Seconds since 2001-01-01 00:00 UTC, the epoch the cache keys use.
    static double referenceSeconds(const QDateTime &time);

private:
    mutable QMutex m_cacheLock;
    QCache<QString, QImage> m_cache;
    mutable QMutex m_lock; // guards m_latestKeys
    QHash<QString, Key> m_latestKeys;
    std::atomic<int> m_decodeCount { 0 };
    std::shared_ptr<ThumbnailProvider *> m_alive;
    QThreadPool m_pool; // last: destroyed first, while the rest still exists
};

} // namespace marlox
