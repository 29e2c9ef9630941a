#include "filing/wordboxes.h"

#include <memory>

#include <tesseract/baseapi.h>
#include <tesseract/ocrclass.h>
#include <tesseract/resultiterator.h>

#include <QPainter>

#include "filing/ocrengine.h"
#include "platform/log.h"

namespace marlox::WordBoxes {

namespace {

struct ApiDeleter
{
    void operator()(tesseract::TessBaseAPI *api) const
    {
        api->End();
        delete api;
    }
};

// Kept apart from the capture pipeline's engine: the detail view asks for
// word boxes on its own threads, and an engine must not be shared.
thread_local std::unique_ptr<tesseract::TessBaseAPI, ApiDeleter> t_api;

tesseract::TessBaseAPI &engine()
{
    if (t_api)
        return *t_api;
    std::unique_ptr<tesseract::TessBaseAPI, ApiDeleter> api(new tesseract::TessBaseAPI);
    if (api->Init(nullptr, "eng", tesseract::OEM_LSTM_ONLY) != 0)
        throw OcrError(QStringLiteral("Couldn't load the text recognition models for “eng”"));
    api->SetPageSegMode(tesseract::PSM_AUTO);
    t_api = std::move(api);
    return *t_api;
}

// Gray, flattened onto white, and dark-on-light: what the models read best.
QImage prepared(const QImage &image)
{
    QImage flat(image.size(), QImage::Format_RGB32);
    flat.fill(Qt::white);
    QPainter painter(&flat);
    painter.drawImage(0, 0, image);
    painter.end();
    QImage gray = flat.convertToFormat(QImage::Format_Grayscale8);
    qint64 dark = 0;
    qint64 total = 0;
    const int step = qMax(1, qMin(gray.width(), gray.height()) / 200);
    for (int y = 0; y < gray.height(); y += step) {
        const uchar *row = gray.constScanLine(y);
        for (int x = 0; x < gray.width(); x += step, ++total)
            dark += row[x] < 128;
    }
    if (dark * 2 > total)
        gray.invertPixels();
    return gray;
}

bool shouldCancel(void *flag, int)
{
    return static_cast<const std::atomic_bool *>(flag)->load();
}

} // namespace

QList<WordBox> recognize(const QImage &image, const std::atomic_bool *cancel)
{
    if (image.isNull() || image.width() < 3 || image.height() < 3)
        return {};
    // Screen text is small; doubling small images gives the recogniser the
    // glyph sizes it was trained on and noticeably better boxes.
    const int scale = image.width() * image.height() <= 2'500'000 ? 2 : 1;
    QImage gray = prepared(image);
    if (scale != 1)
        gray = gray.scaled(gray.size() * scale, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);

    tesseract::TessBaseAPI &api = engine();
    api.SetImage(gray.constBits(), gray.width(), gray.height(), 1, int(gray.bytesPerLine()));
    api.SetSourceResolution(70 * scale);
    tesseract::ETEXT_DESC monitor;
    if (cancel) {
        monitor.cancel = &shouldCancel;
        monitor.cancel_this = const_cast<std::atomic_bool *>(cancel);
    }
    const int status = api.Recognize(&monitor);
    if (cancel && cancel->load()) {
        api.Clear();
        return {};
    }
    if (status != 0) {
        api.Clear();
        throw OcrError(QStringLiteral("Text recognition failed"));
    }

    QList<WordBox> words;
    int line = -1;
    std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
    if (it && !it->Empty(tesseract::RIL_WORD)) {
        do {
            const bool newLine = it->IsAtBeginningOf(tesseract::RIL_TEXTLINE) || line < 0;
            const bool newParagraph = it->IsAtBeginningOf(tesseract::RIL_PARA);
            const std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_WORD));
            int left = 0;
            int top = 0;
            int right = 0;
            int bottom = 0;
            if (!text || !it->BoundingBox(tesseract::RIL_WORD, &left, &top, &right, &bottom))
                continue;
            const QString word = QString::fromUtf8(text.get()).trimmed();
            if (word.isEmpty())
                continue;
            if (newLine || newParagraph)
                ++line;
            WordBox box;
            box.text = word;
            box.box = QRect(QPoint(left / scale, top / scale),
                QPoint((right - 1) / scale, (bottom - 1) / scale));
            box.line = line;
            box.startsParagraph = newParagraph && !words.isEmpty();
            words.append(box);
        } while (it->Next(tesseract::RIL_WORD));
    }
    it.reset();
    api.Clear();
    return words;
}

QString joinedText(const QList<WordBox> &words)
{
    QString text;
    for (qsizetype i = 0; i < words.size(); ++i) {
        if (i > 0)
            text += words.at(i).line != words.at(i - 1).line ? QLatin1Char('\n') : QLatin1Char(' ');
        text += words.at(i).text;
    }
    return text;
}

} // namespace marlox::WordBoxes
