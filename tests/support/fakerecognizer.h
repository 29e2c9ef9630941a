#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include <QCoreApplication>
#include <QImage>
#include <QMutex>
#include <QSemaphore>
#include <QStringList>
#include <QThread>

#include "filing/ocrengine.h"

namespace marlox::test {

// Reads "read WxH" from any image, so a test knows which file a text came
// from, unless given a fixed `text` or a `reading` of its own. While `gated`
// (the default) each call waits for one permit of `gate`, which lets a test
// hold a background run at a known record; open() lets every call through.
class FakeRecognizer : public TextRecognizer
{
public:
    // Every image reads as `text`, at once.
    static std::shared_ptr<FakeRecognizer> answering(
        const QString &text = QStringLiteral("fixed text"))
    {
        auto fake = std::make_shared<FakeRecognizer>();
        fake->text = text;
        fake->open();
        return fake;
    }

    QString text;
    std::function<QString(const QImage &)> reading;
    std::atomic<bool> gated { true };
    QSemaphore gate;
    // Released once as every call starts.
    QSemaphore started;
    // Calls started, and calls that got past the gate.
    std::atomic<int> calls { 0 };
    std::atomic<int> answered { 0 };
    std::atomic<bool> ranOnGuiThread { false };
    // Milliseconds each call takes, by image; none: at once.
    std::function<int(const QImage &)> delay;
    // Images this wide make recognition throw.
    int failingWidth = -1;

    void open() { gated = false; }

    QString recognizeText(const QImage &image) override
    {
        if (QThread::currentThread() == QCoreApplication::instance()->thread())
            ranOnGuiThread = true;
        ++calls;
        started.release();
        while (gated && !gate.tryAcquire(1, 5)) { }
        if (delay)
            QThread::msleep(delay(image));
        ++answered;
        if (image.width() == failingWidth)
            throw OcrError(QStringLiteral("engine refused"));
        if (reading)
            return reading(image);
        if (image.isNull())
            return {};
        return text.isEmpty() ? QStringLiteral("read %1x%2").arg(image.width()).arg(image.height())
                              : text;
    }

    // The same text, each word given a box in a row from the left.
    Recognition recognize(const QImage &image, const std::atomic_bool *) override
    {
        Recognition result { recognizeText(image), {}, {} };
        int x = 0;
        for (const QString &word : result.text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            result.words.append({ word, QRect(x, 0, 8 * int(word.size()), 12), 0, false });
            x += 8 * int(word.size()) + 6;
        }
        return result;
    }

    void setLanguages(const QStringList &languages) override
    {
        const QMutexLocker lock(&m_mutex);
        m_languageSets.append(languages);
    }

    QList<QStringList> languageSets() const
    {
        const QMutexLocker lock(&m_mutex);
        return m_languageSets;
    }

private:
    mutable QMutex m_mutex;
    QList<QStringList> m_languageSets;
};

} // namespace marlox::test
