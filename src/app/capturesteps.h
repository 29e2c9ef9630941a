#pragma once

// What the capture path carries from step to step; shared by the files that
// feed it (new captures, imported copies). Not for use outside the app layer.

#include <memory>
#include <optional>

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QImage>
#include <QList>
#include <QString>

#include "app/capturepipeline.h"
#include "filing/perceptualhash.h"
#include "filing/wordboxes.h"
#include "storage/screenshotcode.h"

namespace marlox {

struct CapturePipeline::CaptureContext
{
    QString path;
    QString fileName;
    QDateTime createdAt;
    std::optional<QString> appName;
    QElapsedTimer sinceDetection;
    // An imported copy: filed under this title into this folder, never prompted.
    std::optional<QString> title;
    std::optional<QString> folder;
};

// The decoded bitmap and the complete bytes, both from the same attempt.
struct CapturePipeline::ReadCapture
{
    QImage image;
    QByteArray bytes;
    qint64 modifiedNs = 0; // the file's modification time when it was read
};

// What the auto-save indexes: the read bytes' size and hash, their text,
// words and codes.
struct CapturePipeline::RecognizedCapture
{
    QString title;
    QString text;
    QList<WordBox> words;
    QString hash;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    // Of the decoded picture; none when it couldn't be decoded.
    std::optional<PerceptualHash::Hash> perceptualHash;
    QList<ScreenshotCode> codes;
};

// One read attempt of a capture and what came of it. Touched only on the GUI
// thread; the worker reports back by queued calls. The bitmap never leaves
// the worker, so a waiting step costs a few texts.
struct CapturePipeline::CaptureStep
{
    std::shared_ptr<CaptureContext> capture;
    int attempt = 0;
    enum class Read { pending, failed, succeeded } read = Read::pending;
    bool decided = false; // prompt or auto-save chosen (at the read's success)
    bool autoSave = false;
    qint64 id = 0; // the prompt path's row, once indexed
    bool recognised = false;
    RecognizedCapture result;
};

} // namespace marlox
