#include "detection/folderwatcher.h"

#include <QThread>

#include "detection/folderwatchercore.h"

namespace marlox {

FolderWatcher::FolderWatcher(const QString &folder) : FolderWatcher(folder, Options {})
{ }

FolderWatcher::FolderWatcher(const QString &folder, Options options)
    : m_folder(folder),
      m_clock(options.clock ? options.clock : fileSystemNow),
      m_thread(std::make_unique<QThread>()),
      m_core(new FolderWatcherCore(folder, std::move(options)))
{
    m_thread->setObjectName(QStringLiteral("com.quorvintesha.Marlox.folderwatcher"));
    m_core->moveToThread(m_thread.get());
    // The notifier and timers are the core's children: they must die on the
    // thread that made them.
    QObject::connect(m_thread.get(), &QThread::finished, m_core, &QObject::deleteLater);
    m_thread->start();
}

FolderWatcher::~FolderWatcher()
{
    m_thread->quit();
    if (QThread::currentThread() == m_thread.get()) {
        // Dropped from one of our own callbacks: the thread cannot wait for
        // itself, so it cleans up after itself once it has ended.
        QThread *thread = m_thread.release();
        QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
        return;
    }
    m_thread->wait();
}

void FolderWatcher::setOnStableFile(std::function<void(const Detection &)> callback)
{
    QMetaObject::invokeMethod(
        m_core, [core = m_core, callback] { core->onStableFile = callback; }, Qt::QueuedConnection);
}

void FolderWatcher::setOnStartFailure(std::function<void(int)> callback)
{
    QMetaObject::invokeMethod(
        m_core, [core = m_core, callback] { core->onStartFailure = callback; },
        Qt::QueuedConnection);
}

void FolderWatcher::setOnFolderLost(std::function<void(Loss)> callback)
{
    QMetaObject::invokeMethod(
        m_core, [core = m_core, callback] { core->onFolderLost = callback; }, Qt::QueuedConnection);
}

void FolderWatcher::start()
{
    // Taken here, not when the watcher thread gets to it: a file saved in
    // between is new to whoever asked.
    QMetaObject::invokeMethod(
        m_core, [core = m_core, requestedAt = m_clock()] { core->start(requestedAt); },
        Qt::QueuedConnection);
}

void FolderWatcher::restart(const QString &folder)
{
    m_folder = folder;
    QMetaObject::invokeMethod(
        m_core,
        [core = m_core, folder, requestedAt = m_clock()] { core->restart(folder, requestedAt); },
        Qt::QueuedConnection);
}

void FolderWatcher::stop()
{
    QMetaObject::invokeMethod(
        m_core, [core = m_core] { core->stop(); }, Qt::QueuedConnection);
}

void FolderWatcher::scanNow()
{
    QMetaObject::invokeMethod(
        m_core, [core = m_core] { core->scan(); }, Qt::BlockingQueuedConnection);
}

void FolderWatcher::pollNow()
{
    QMetaObject::invokeMethod(
        m_core, [core = m_core] { core->stabilityTick(); }, Qt::BlockingQueuedConnection);
}

} // namespace marlox
