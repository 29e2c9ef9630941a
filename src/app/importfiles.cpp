#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QThreadPool>
#include <QUuid>

#include "app/capturepipeline.h"
#include "app/capturesteps.h"
#include "filing/libraryfileservice.h"
#include "platform/filemoves.h"
#include "platform/imagecompleteness.h"
#include "platform/log.h"
#include "platform/workpools.h"

// Image files the user brings in by hand (dropped on a folder of the library
// window) take the capture path from a copy.
namespace marlox {

bool CapturePipeline::isImportable(const QString &path, const QString &libraryRoot)
{
    return FileMoves::isRegularFile(path) && isScreenshotExtension(QFileInfo(path).suffix())
        && (libraryRoot.isEmpty() || !LibraryFileService::libraryFolderName(path, libraryRoot));
}

int CapturePipeline::importFiles(const QStringList &paths, const QString &folder)
{
    const QString root = m_hooks.libraryRoot();
    if (root.isEmpty()) {
        qCWarning(lcAppState, "Can't import %lld files: no library folder is set",
            qlonglong(paths.size()));
        return 0;
    }
    // Copied first to a hidden folder of the library, which the reconcile
    // passes over; filing then moves the copy within one file system.
    const QString staging = root + QStringLiteral("/.marlox-import");
    int taken = 0;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (!isImportable(path, root)) {
            qCWarning(lcAppState, "Not importing %s: not an image file from outside the library",
                qUtf8Printable(path));
            continue;
        }
        auto capture = std::make_shared<CaptureContext>();
        capture->sinceDetection.start();
        capture->fileName = info.fileName();
        const QDateTime born = info.birthTime();
        capture->createdAt = born.isValid() ? born : info.lastModified();
        capture->title = info.completeBaseName();
        capture->folder = folder;
        capture->path = staging + QLatin1Char('/')
            + QUuid::createUuid().toString(QUuid::WithoutBraces) + QLatin1Char('.') + info.suffix();
        const QPointer<CapturePipeline> weak(this);
        WorkPools::capture().start([weak, path, staging, capture] {
            QString error;
            if (!QDir().mkpath(staging))
                error = QStringLiteral("can't create ") + staging;
            QFile source(path);
            if (error.isEmpty() && !source.copy(capture->path))
                error = source.errorString();
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [weak, capture, error, path] {
                    if (!weak)
                        return;
                    if (!error.isEmpty()) {
                        qCWarning(lcAppState, "Couldn't copy %s to import it: %s",
                            qUtf8Printable(path), qUtf8Printable(error));
                        return;
                    }
                    weak->m_capturesInFlight.insert(capture->path, capture);
                    weak->attemptRead(capture, 0);
                },
                Qt::QueuedConnection);
        });
        ++taken;
    }
    return taken;
}

} // namespace marlox
