#include "shell/commandline.h"

#include <cstdio>
#include <cstring>

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QTimeZone>

#include "storage/screenshotdatabase.h"
#include "storage/searchquery.h"

namespace marlox::CommandLine {

namespace {

constexpr int defaultLimit = 50;

void printHelp(FILE *out)
{
    std::fprintf(out,
        "Usage: marlox [--version | --help]\n"
        "       marlox search [--json] [--limit N] [--] QUERY...\n\n"
        "Marlox lives in the system tray: it watches your screenshot folder, reads the\n"
        "text in every new screenshot and files it into your library folder.\n"
        "Everything else is set in its Settings window.\n\n"
        "  --version  print the version and exit\n"
        "  --help     print this help and exit\n\n"
        "marlox search prints the screenshots whose title or text matches QUERY, best\n"
        "match first, as the library window's search over All Screenshots finds them:\n"
        "one a line as PATH<TAB>TITLE<TAB>FOLDER. It only reads the index, so it works\n"
        "while Marlox runs.\n"
        "  --json     print a JSON array of objects with path, title, folder,\n"
        "             capturedAt (ISO 8601, UTC) and excerpt (hits in [ ])\n"
        "  --limit N  print at most N screenshots (default %d)\n"
        "Exit status: 0 when something matched, 1 when nothing did, 2 on an error.\n",
        defaultLimit);
}

void write(FILE *out, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    std::fwrite(utf8.constData(), 1, size_t(utf8.size()), out);
}

int fail(const QString &reason)
{
    write(stderr, QStringLiteral("marlox search: %1\n").arg(reason));
    return 2;
}

// One field of a tab-separated line: tabs and line breaks would split it.
QString field(QString text)
{
    for (QChar &c : text) {
        if (c == u'\t' || c == u'\n' || c == u'\r')
            c = u' ';
    }
    return text;
}

int search(int argc, char **argv)
{
    bool json = false;
    int limit = defaultLimit;
    QStringList words;
    bool options = true;
    for (int i = 2; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (options && arg == QLatin1String("--")) {
            options = false;
        } else if (options && arg == QLatin1String("--json")) {
            json = true;
        } else if (options
            && (arg == QLatin1String("--limit") || arg.startsWith(QLatin1String("--limit=")))) {
            QString value;
            if (arg.contains(u'='))
                value = arg.section(u'=', 1);
            else if (i + 1 < argc)
                value = QString::fromLocal8Bit(argv[++i]);
            bool ok = false;
            limit = value.toInt(&ok);
            if (!ok || limit <= 0)
                return fail(QStringLiteral("--limit needs a positive number"));
        } else if (options && arg == QLatin1String("--help")) {
            printHelp(stdout);
            return 0;
        } else if (options && arg.startsWith(QLatin1String("--"))) {
            // A single dash starts a query word ("-5"), not an option.
            return fail(QStringLiteral("unknown option %1 (see marlox --help)").arg(arg));
        } else {
            words.append(arg);
        }
    }
    if (words.isEmpty())
        return fail(QStringLiteral("no query given (see marlox --help)"));
    const QString text = words.join(QLatin1Char(' '));

    QList<SearchResult> results;
    try {
        const QString path = ScreenshotDatabase::defaultLocation();
        if (!QFileInfo::exists(path))
            return fail(QStringLiteral("no index at %1; start Marlox once to make it").arg(path));
        ScreenshotDatabase database(path, ScreenshotDatabase::ReadOnly {});
        if (!SearchQuery::isBlank(text))
            results = database.search(text, LibrarySection::all(), limit);
    } catch (const Error &e) {
        return fail(e.description());
    }

    if (json) {
        QJsonArray array;
        for (const SearchResult &hit : results) {
            const auto captured = QDateTime::fromMSecsSinceEpoch(
                qint64(hit.record.createdAt * 1000), QTimeZone::utc());
            array.append(QJsonObject { { QStringLiteral("path"), hit.record.path },
                { QStringLiteral("title"), hit.record.title },
                { QStringLiteral("folder"), hit.record.folder },
                { QStringLiteral("capturedAt"), captured.toString(Qt::ISODate) },
                { QStringLiteral("excerpt"), hit.snippet } });
        }
        const QByteArray out = QJsonDocument(array).toJson(QJsonDocument::Indented);
        std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
    } else {
        for (const SearchResult &hit : results) {
            write(stdout,
                field(hit.record.path) + u'\t' + field(hit.record.title) + u'\t'
                    + field(hit.record.folder) + u'\n');
        }
    }
    std::fflush(stdout);
    return results.isEmpty() ? 1 : 0;
}

} // namespace

std::optional<int> handle(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "search") == 0)
        return search(argc, argv);
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (std::strcmp(arg, "--version") == 0 || std::strcmp(arg, "-v") == 0) {
            std::printf("Marlox %s\n", MARLOX_VERSION);
            return 0;
        }
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            printHelp(stdout);
            return 0;
        }
        // Qt's own platform options (-platform, -display …) pass through.
        if (std::strncmp(arg, "--", 2) == 0) {
            std::fprintf(stderr, "marlox: unknown option %s\n\n", arg);
            printHelp(stderr);
            return 2;
        }
    }
    return std::nullopt;
}

} // namespace marlox::CommandLine
