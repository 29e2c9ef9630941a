#pragma once

#include <QImage>
#include <QString>

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

} // namespace marlox
