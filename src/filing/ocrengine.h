#pragma once

#include <QImage>
#include <QLocale>
#include <QString>
#include <QStringList>

#include "platform/errors.h"

namespace marlox {

// Turns the pixels of one screenshot into text: one line per recognised text
// line, in reading order, joined with "\n". Callers may run it on any thread.
class TextRecognizer
{
public:
    virtual ~TextRecognizer() = default;
    // Throws OcrError when recognition cannot run.
    virtual QString recognizeText(const QImage &image) = 0;
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
// calls recognizeText keeps one initialised engine of its own and reuses it,
// so concurrent calls never wait for each other.
class OCREngine : public TextRecognizer
{
public:
    QString recognizeText(const QImage &image) override;

    // "eng", plus the language of the user's locale when its model is installed.
    static QString languages();
    // The Tesseract language code for a locale ("deu", "chi_sim"), or empty.
    static QString tesseractLanguage(const QLocale &locale);
    // Light text on a dark background: recognition works on the inverse.
    static bool hasDarkBackground(const QImage &gray);
    // The image as 8-bit gray, transparent parts over white, dark mode inverted.
    static QImage preparedImage(const QImage &image);
};

} // namespace marlox
