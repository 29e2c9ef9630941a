#include "filing/ocrengine.h"

#include <memory>
#include <mutex>

#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <QDir>
#include <QFileInfo>
#include <QPainter>
#include <QtMath>

#include "platform/log.h"

namespace marlox {

namespace {

constexpr int screenDpi = 96;

QStringList tessdataDirectories()
{
    QStringList dirs;
    const QString prefix = qEnvironmentVariable("TESSDATA_PREFIX");
    if (!prefix.isEmpty())
        dirs << prefix << QDir(prefix).filePath(QStringLiteral("tessdata"));
    dirs << QStringLiteral("/usr/share/tesseract-ocr/5/tessdata")
         << QStringLiteral("/usr/share/tesseract-ocr/4.00/tessdata")
         << QStringLiteral("/usr/share/tessdata") << QStringLiteral("/usr/local/share/tessdata");
    return dirs;
}

bool isModelInstalled(const QString &language)
{
    const QString file = language + QStringLiteral(".traineddata");
    for (const QString &dir : tessdataDirectories()) {
        if (QFileInfo::exists(QDir(dir).filePath(file)))
            return true;
    }
    return false;
}

struct ApiDeleter
{
    void operator()(tesseract::TessBaseAPI *api) const
    {
        api->End();
        delete api;
    }
};
using Api = std::unique_ptr<tesseract::TessBaseAPI, ApiDeleter>;

// One engine per thread: Init loads the models (a few hundred milliseconds),
// and a TessBaseAPI must never be used by two threads at once.
struct ThreadEngine
{
    Api api;
    QByteArray languages;
};
thread_local ThreadEngine t_engine;

tesseract::TessBaseAPI &engineForThread(const QByteArray &languages)
{
    if (t_engine.api && t_engine.languages == languages)
        return *t_engine.api;
    t_engine.api.reset();
    Api api(new tesseract::TessBaseAPI);
    if (api->Init(nullptr, languages.constData(), tesseract::OEM_LSTM_ONLY) != 0) {
        throw OcrError(QStringLiteral("Couldn't load the text recognition models for “%1”")
                           .arg(QString::fromLatin1(languages)));
    }
    // The API defaults to a single block; screenshots need the layout analysis.
    api->SetPageSegMode(tesseract::PSM_AUTO);
    t_engine.api = std::move(api);
    t_engine.languages = languages;
    return *t_engine.api;
}

} // namespace

QString OCREngine::tesseractLanguage(const QLocale &locale)
{
    switch (locale.language()) {
    case QLocale::C:
    case QLocale::AnyLanguage:
        return {};
    case QLocale::Chinese:
        return locale.script() == QLocale::TraditionalChineseScript
                || locale.territory() == QLocale::Taiwan || locale.territory() == QLocale::HongKong
            ? QStringLiteral("chi_tra")
            : QStringLiteral("chi_sim");
    case QLocale::NorwegianBokmal:
    case QLocale::NorwegianNynorsk:
        return QStringLiteral("nor");
    default:
        // Tesseract names its models by the ISO 639-2/T code ("deu", "fra").
        return QLocale::languageToCode(locale.language(), QLocale::ISO639Part2T);
    }
}

QString OCREngine::languages()
{
    static const QString value = [] {
        QString result = QStringLiteral("eng");
        const QString own = tesseractLanguage(QLocale::system());
        if (!own.isEmpty() && own != result && isModelInstalled(own))
            result += QLatin1Char('+') + own;
        qCInfo(lcOCR, "Text recognition languages: %s", qUtf8Printable(result));
        return result;
    }();
    return value;
}

bool OCREngine::hasDarkBackground(const QImage &gray)
{
    Q_ASSERT(gray.format() == QImage::Format_Grayscale8);
    // Every few pixels are enough to tell which side of the histogram dominates.
    const int step = qMax(1, int(qSqrt(qreal(gray.width()) * gray.height() / 200000.0)));
    qint64 dark = 0;
    qint64 total = 0;
    for (int y = 0; y < gray.height(); y += step) {
        const uchar *line = gray.constScanLine(y);
        for (int x = 0; x < gray.width(); x += step) {
            dark += line[x] < 128;
            ++total;
        }
    }
    return total > 0 && dark * 2 > total;
}

QImage OCREngine::preparedImage(const QImage &image)
{
    QImage gray;
    if (image.hasAlphaChannel()) {
        // Transparent window shadows would otherwise turn black.
        QImage flat(image.size(), QImage::Format_RGB32);
        flat.fill(Qt::white);
        QPainter painter(&flat);
        painter.drawImage(0, 0, image);
        painter.end();
        gray = flat.convertToFormat(QImage::Format_Grayscale8);
    } else {
        gray = image.convertToFormat(QImage::Format_Grayscale8);
    }
    // The LSTM models are trained on dark text on light paper; light text on
    // a dark page reads far worse and slower without this.
    if (hasDarkBackground(gray))
        gray.invertPixels();
    return gray;
}

QString OCREngine::recognizeText(const QImage &image)
{
    if (image.isNull() || image.width() < 3 || image.height() < 3)
        return {};
    const QImage gray = preparedImage(image);
    tesseract::TessBaseAPI &api = engineForThread(languages().toLatin1());

    api.SetImage(gray.constBits(), gray.width(), gray.height(), 1, int(gray.bytesPerLine()));
    // Screen pixels at the desktop's logical density. Left unset, Tesseract
    // estimates 250+ dpi from 2x text and then reads a sidebar and the page
    // beside it as one line (measured with bench/ocr_compare).
    api.SetSourceResolution(screenDpi);
    if (api.Recognize(nullptr) != 0) {
        api.Clear();
        throw OcrError(QStringLiteral("Text recognition failed"));
    }

    QStringList lines;
    std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
    if (it && !it->Empty(tesseract::RIL_TEXTLINE)) {
        do {
            const std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
            if (!text)
                continue;
            const QString line = QString::fromUtf8(text.get()).trimmed();
            if (!line.isEmpty())
                lines.append(line);
        } while (it->Next(tesseract::RIL_TEXTLINE));
    }
    it.reset();
    // Drop the page's results and image now rather than at the next call.
    api.Clear();
    return lines.join(QLatin1Char('\n'));
}

} // namespace marlox
