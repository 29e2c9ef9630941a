#pragma once

#include <atomic>

#include <QImage>
#include <QLocale>
#include <QMutex>
#include <QString>
#include <QStringList>

#include "filing/wordboxes.h"
#include "platform/errors.h"
#include "storage/screenshotcode.h"

namespace marlox {

// What one pass over an image found: the text to index and where each of its
// words sits. The text is WordBoxes::joinedText(words) whenever words are given.
// The codes come from CodeReader, read from the same bitmap by the caller.
struct Recognition
{
    QString text;
    QList<WordBox> words;
    QList<ScreenshotCode> codes;
};

// Turns the pixels of one screenshot into text: one line per recognised text
// line, in reading order, joined with "\n". Callers may run it on any thread.
class TextRecognizer
{
public:
    virtual ~TextRecognizer() = default;
    // Throws OcrError when recognition cannot run.
    virtual QString recognizeText(const QImage &image) = 0;
    // The text and its word boxes from one pass. Recognisers that cannot place
    // words give the text alone. Setting `cancel` stops early with an empty result.
    virtual Recognition recognize(const QImage &image, const std::atomic_bool *cancel = nullptr)
    {
        Q_UNUSED(cancel)
        return { recognizeText(image), {}, {} };
    }
    // The languages to read from the next call on, as Tesseract codes.
    virtual void setLanguages(const QStringList &languages) { Q_UNUSED(languages) }
};

class OcrError : public Error
{
public:
    explicit OcrError(QString message) : m_message(std::move(message)) { }
    QString description() const override { return m_message; }

private:
    QString m_message;
};

// Tesseract's LSTM engine with automatic page segmentation. Each thread that
// calls recognizeText keeps one initialised engine of its own and reuses it
// until the language set changes, so concurrent calls never wait for each
// other.
class OCREngine : public TextRecognizer
{
public:
    OCREngine();

    QString recognizeText(const QImage &image) override;
    Recognition recognize(const QImage &image, const std::atomic_bool *cancel = nullptr) override;
    // Any thread. Languages whose data is not installed are left out (and
    // logged) when an engine loads; English is always read.
    void setLanguages(const QStringList &languages) override;
    QStringList languages() const;

    // "eng", plus the language of the user's locale when its model is installed.
    static QStringList defaultLanguages();
    // The Tesseract language code for a locale ("deu", "chi_sim"), or empty.
    static QString tesseractLanguage(const QLocale &locale);
    // The folder Tesseract loads its models from.
    static QString dataPath();
    // The installed recognition languages, sorted; page layout and equation
    // models, which read no language, are left out.
    static QStringList installedLanguages();
    // "German", "Chinese (Simplified)", "Japanese (vertical)"; the code itself
    // when nothing better is known.
    static QString languageName(const QString &code);
    // The "+"-joined languages an engine loads for the chosen ones: English
    // first, the rest only when installed.
    static QString loadableLanguages(const QStringList &chosen, const QStringList &installed);
    // Light text on a dark background: recognition works on the inverse.
    static bool hasDarkBackground(const QImage &gray);
    // The image as 8-bit gray, transparent parts over white, dark mode inverted.
    static QImage preparedImage(const QImage &image);
    // The line without the spaces put between pieces of Chinese or Japanese.
    static QString joinedUnspacedScript(const QString &line);

private:
    mutable QMutex m_mutex;
    QStringList m_languages;
};

} // namespace marlox
