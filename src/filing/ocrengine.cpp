#include "filing/ocrengine.h"

#include <memory>
#include <string>
#include <vector>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QPainter>
#include <QSet>
#include <QtMath>

#include <tesseract/baseapi.h>
#include <tesseract/ocrclass.h>
#include <tesseract/resultiterator.h>

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

// A cheap guess that needs no engine: good enough to pick the default.
bool isModelInstalled(const QString &language)
{
    const QString file = language + QStringLiteral(".traineddata");
    for (const QString &dir : tessdataDirectories()) {
        if (QFileInfo::exists(QDir(dir).filePath(file)))
            return true;
    }
    return false;
}

// Tesseract's own listing walks subfolders too ("script/Latin").
void addLanguages(const QDir &dir, const QString &prefix, QStringList &languages)
{
    const QString suffix = QStringLiteral(".traineddata");
    const QFileInfoList entries = dir.entryInfoList(
        QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Readable, QDir::Name);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir()) {
            if (prefix.isEmpty())
                addLanguages(
                    QDir(entry.filePath()), entry.fileName() + QLatin1Char('/'), languages);
        } else if (entry.fileName().endsWith(suffix)) {
            languages.append(prefix + entry.fileName().chopped(suffix.size()));
        }
    }
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

// Each missing language is logged once per run, not once per worker thread.
void logMissingLanguages(const QStringList &missing)
{
    static QMutex mutex;
    static QSet<QString> logged;
    const QMutexLocker lock(&mutex);
    for (const QString &language : missing) {
        if (logged.contains(language))
            continue;
        logged.insert(language);
        qCWarning(lcOCR, "Recognition language %s is not installed; reading without it",
            qUtf8Printable(language));
    }
}

// One engine per thread: Init loads the models (a few hundred milliseconds),
// and a TessBaseAPI must never be used by two threads at once.
struct ThreadEngine
{
    Api api;
    QStringList chosen;
};
thread_local ThreadEngine t_engine;

tesseract::TessBaseAPI &engineForThread(const QStringList &chosen)
{
    if (t_engine.api && t_engine.chosen == chosen)
        return *t_engine.api;
    t_engine.api.reset();
    t_engine.chosen.clear();

    const QString dataPath = OCREngine::dataPath();
    const QString languages = OCREngine::loadableLanguages(chosen, OCREngine::installedLanguages());
    const QStringList loaded = languages.split(QLatin1Char('+'));
    QStringList missing;
    for (const QString &language : chosen) {
        if (!loaded.contains(language))
            missing.append(language);
    }
    logMissingLanguages(missing);

    Api api(new tesseract::TessBaseAPI);
    if (api->Init(QFile::encodeName(dataPath).constData(), languages.toLatin1().constData(),
            tesseract::OEM_LSTM_ONLY)
        != 0) {
        throw OcrError(
            QStringLiteral("Couldn't load the text recognition models for “%1”").arg(languages));
    }
    // The API defaults to a single block; screenshots need the layout analysis.
    api->SetPageSegMode(tesseract::PSM_AUTO);
    // Local (Sauvola) thresholds instead of one for the whole page: labels on
    // coloured bars, pale text and small type in a busy window keep their
    // letters. The lower k also keeps text of little contrast. On the
    // benchmark's corpus this raised word recall from 94 % to 97 % (pale text
    // 48 % to 100 %) at the same CPU time; enlarging 1x screens 1.25 times
    // added half a point more for an eighth more time.
    if (!api->SetVariable("thresholding_method", "2")
        || !api->SetVariable("thresholding_kfactor", "0.15"))
        qCWarning(lcOCR, "Local thresholds are not available; reading with a global one");
    qCDebug(lcOCR, "Text recognition engine loaded for %s", qUtf8Printable(languages));
    t_engine.api = std::move(api);
    t_engine.chosen = chosen;
    return *t_engine.api;
}

} // namespace

OCREngine::OCREngine() : m_languages(defaultLanguages())
{ }

void OCREngine::setLanguages(const QStringList &languages)
{
    const QMutexLocker lock(&m_mutex);
    m_languages = languages;
}

QStringList OCREngine::languages() const
{
    const QMutexLocker lock(&m_mutex);
    return m_languages;
}

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

QStringList OCREngine::defaultLanguages()
{
    static const QStringList value = [] {
        QStringList result = { QStringLiteral("eng") };
        const QString own = tesseractLanguage(QLocale::system());
        if (!own.isEmpty() && !result.contains(own) && isModelInstalled(own))
            result.append(own);
        return result;
    }();
    return value;
}

QString OCREngine::dataPath()
{
    // Tesseract itself prefers the variable whenever it names something real.
    const QString prefix = qEnvironmentVariable("TESSDATA_PREFIX");
    if (!prefix.isEmpty() && QFileInfo::exists(prefix))
        return QDir(prefix).absolutePath();
    // Otherwise the folder is compiled into the library: ask it once. Reading
    // only the configuration keeps this near 0.1 s instead of a full load.
    static const QString compiledIn = [] {
        tesseract::TessBaseAPI api;
        std::vector<std::string> names = { "tessedit_init_config_only" };
        std::vector<std::string> values = { "1" };
        QString path;
        if (api.Init(nullptr, "eng", tesseract::OEM_LSTM_ONLY, nullptr, 0, &names, &values, false)
                == 0
            && api.GetDatapath())
            path = QFile::decodeName(api.GetDatapath());
        api.End();
        if (path.isEmpty()) {
            for (const QString &dir : tessdataDirectories()) {
                if (QFileInfo(dir).isDir()) {
                    path = dir;
                    break;
                }
            }
        }
        qCDebug(lcOCR, "Text recognition models in %s", qUtf8Printable(path));
        return QDir::cleanPath(path);
    }();
    return compiledIn;
}

QStringList OCREngine::installedLanguages()
{
    QStringList languages;
    addLanguages(QDir(dataPath()), QString(), languages);
    languages.removeAll(QStringLiteral("osd"));
    languages.removeAll(QStringLiteral("equ"));
    return languages;
}

QString OCREngine::languageName(const QString &code)
{
    static const QHash<QString, QString> names = {
        { QStringLiteral("chi_sim"), QStringLiteral("Chinese (Simplified)") },
        { QStringLiteral("chi_tra"), QStringLiteral("Chinese (Traditional)") },
        { QStringLiteral("nor"), QStringLiteral("Norwegian") },
        { QStringLiteral("frk"), QStringLiteral("German (Fraktur)") },
        { QStringLiteral("enm"), QStringLiteral("Middle English") },
        { QStringLiteral("frm"), QStringLiteral("Middle French") },
        { QStringLiteral("grc"), QStringLiteral("Ancient Greek") },
        { QStringLiteral("aze_cyrl"), QStringLiteral("Azerbaijani (Cyrillic)") },
        { QStringLiteral("uzb_cyrl"), QStringLiteral("Uzbek (Cyrillic)") },
        { QStringLiteral("srp_latn"), QStringLiteral("Serbian (Latin)") },
        { QStringLiteral("ita_old"), QStringLiteral("Italian (old)") },
        { QStringLiteral("spa_old"), QStringLiteral("Spanish (old)") },
        { QStringLiteral("kat_old"), QStringLiteral("Georgian (old)") },
    };
    if (const auto it = names.constFind(code); it != names.constEnd())
        return *it;
    if (code.startsWith(QLatin1String("script/")))
        return code.mid(7) + QStringLiteral(" script");
    if (code.endsWith(QLatin1String("_vert"))) {
        const QString base = code.chopped(5);
        const QString name = languageName(base);
        if (name == base)
            return code;
        return name.endsWith(QLatin1Char(')')) ? name.chopped(1) + QStringLiteral(", vertical)")
                                               : name + QStringLiteral(" (vertical)");
    }
    if (code.size() == 3) {
        const QLocale::Language language = QLocale::codeToLanguage(code);
        if (language != QLocale::AnyLanguage && language != QLocale::C)
            return QLocale::languageToString(language);
    }
    return code;
}

QString OCREngine::loadableLanguages(const QStringList &chosen, const QStringList &installed)
{
    QStringList result = { QStringLiteral("eng") };
    for (const QString &language : chosen) {
        if (!result.contains(language) && installed.contains(language))
            result.append(language);
    }
    return result.join(QLatin1Char('+'));
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
    return recognize(image).text;
}

namespace {
bool shouldCancel(void *flag, int)
{
    return static_cast<const std::atomic_bool *>(flag)->load();
}
} // namespace

Recognition OCREngine::recognize(const QImage &image, const std::atomic_bool *cancel)
{
    if (image.isNull() || image.width() < 3 || image.height() < 3)
        return {};
    const QImage gray = preparedImage(image);
    tesseract::TessBaseAPI &api = engineForThread(languages());

    api.SetImage(gray.constBits(), gray.width(), gray.height(), 1, int(gray.bytesPerLine()));
    // Screen pixels at the desktop's logical density. Left unset, Tesseract
    // estimates 250+ dpi from 2x text and then reads a sidebar and the page
    // beside it as one line (measured with bench/ocr_compare).
    api.SetSourceResolution(screenDpi);
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

    Recognition result;
    int line = -1;
    bool lineStarts = true;
    bool paragraphStarts = false;
    std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
    if (it && !it->Empty(tesseract::RIL_WORD)) {
        do {
            // A line whose first piece is dropped still starts a line.
            lineStarts = lineStarts || it->IsAtBeginningOf(tesseract::RIL_TEXTLINE);
            paragraphStarts = paragraphStarts || it->IsAtBeginningOf(tesseract::RIL_PARA);
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
            if (lineStarts || paragraphStarts)
                ++line;
            WordBox box;
            box.text = word;
            box.box = QRect(QPoint(left, top), QPoint(right - 1, bottom - 1));
            box.line = line;
            box.startsParagraph = paragraphStarts && !result.words.isEmpty();
            result.words.append(box);
            lineStarts = false;
            paragraphStarts = false;
        } while (it->Next(tesseract::RIL_WORD));
    }
    it.reset();
    // Drop the page's results and image now rather than at the next call.
    api.Clear();
#ifdef __GLIBC__
    // A large capture leaves tens of megabytes of freed pages in the heap of
    // an app that then idles in the tray for hours.
    malloc_trim(0);
#endif
    result.text = WordBoxes::joinedText(result.words);
    return result;
}

namespace {
// Chinese and Japanese are written without spaces between words.
bool isUnspacedLetter(char32_t ch)
{
    if ((ch >= 0x3000 && ch <= 0x303F) || ch == 0x30FC || (ch >= 0xFF61 && ch <= 0xFF9F))
        return true;
    switch (QChar::script(ch)) {
    case QChar::Script_Han:
    case QChar::Script_Hiragana:
    case QChar::Script_Katakana:
        return true;
    default:
        return false;
    }
}
} // namespace

QString OCREngine::joinedUnspacedScript(const QString &line)
{
    // Tesseract puts a space between the pieces it segmented a run of Chinese
    // or Japanese into when a Latin model leads; those spaces would split
    // every word that search looks for.
    const QList<uint> points = line.toUcs4();
    QString out;
    out.reserve(line.size());
    char32_t previous = 0;
    for (qsizetype i = 0; i < points.size(); ++i) {
        const char32_t ch = points[i];
        if (ch == U' ' && isUnspacedLetter(previous)) {
            qsizetype next = i;
            while (next < points.size() && points[next] == U' ')
                ++next;
            if (next < points.size() && isUnspacedLetter(points[next])) {
                i = next - 1;
                continue;
            }
        }
        out += QString::fromUcs4(&ch, 1);
        previous = ch;
    }
    return out;
}

} // namespace marlox
