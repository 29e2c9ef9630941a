#pragma once

#include <atomic>

#include <QImage>
#include <QMutex>
#include <QSemaphore>
#include <QStringList>

#include "filing/ocrengine.h"

namespace marlox::test {

// Reads "read WxH" from any image, so a test knows which file a text came
// from. Each call waits for one permit of `gate` (open() hands out plenty),
// which lets a test hold a background run at a known record.
class FakeRecognizer : public TextRecognizer
{
public:
    QSemaphore gate;
    // Released once as every call starts.
    QSemaphore started;
    std::atomic<int> calls { 0 };

    void open() { gate.release(1 << 20); }

    QString recognizeText(const QImage &image) override
    {
        ++calls;
        started.release();
        gate.acquire();
        if (image.width() == failingWidth)
            throw OcrError(QStringLiteral("engine refused"));
        return QStringLiteral("read %1x%2").arg(image.width()).arg(image.height());
    }

    // The same text, each of its two words given a box: "read" at the left,
    // the size beside it.
    Recognition recognize(const QImage &image, const std::atomic_bool *) override
    {
        Recognition result { recognizeText(image), {}, {} };
        int x = 0;
        for (const QString &word : result.text.split(QLatin1Char(' '))) {
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

    // Images this wide make recognition throw.
    int failingWidth = -1;

private:
    mutable QMutex m_mutex;
    QList<QStringList> m_languageSets;
};

} // namespace marlox::test
