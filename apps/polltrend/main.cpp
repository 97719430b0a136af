// polltrend: the eight channels of a recording over time, in a window that
// follows the file while it grows, or drawn into a PNG without a display.

#include "apps/common/commandline.h"
#include "apps/common/startup.h"
#include "polltrend/follower.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QLabel>
#include <QRegularExpression>
#include <QTextStream>
#include <QTimeZone>
#include <QVBoxLayout>

#include <optional>

namespace {

void say(const QString& text)
{
    QTextStream(stderr) << "polltrend: " << text << Qt::endl;
}

// "2026-12-09T08:00", "2026-12-09 08:00:30", "2026-12-09T08:00:30.250+01:00":
// local time unless an offset or Z is given.
std::optional<qint64> parseTime(QString text)
{
    text.replace(u' ', u'T');
    static const QRegularExpression form(QStringLiteral(
        R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}(:\d{2}(\.\d{1,3})?)?(Z|[+-]\d{2}:\d{2})?$)"));
    if (!form.match(text).hasMatch())
        return std::nullopt;
    QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!time.isValid())
        return std::nullopt;
    return time.toMSecsSinceEpoch();
}

struct Options
{
    QString file;
    QString png;
    QSize size{1200, 600};
    std::optional<qint64> from, to;
};

// The options, or the exit status: 0 after --help or --version, 2 for a
// usage error (said on standard error).
std::variant<Options, int> parseOptions(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Shows the eight channels of a recording made with --record (by bytepoll, "
                       "autopoll, textpoll or pollcli) "
                       "over time, and follows the file while it grows. With --png, draws the "
                       "image into a file and exits, "
                       "without a display."));
    const auto shared = apps::MakeSharedOptions();
    const QCommandLineOption png(QStringLiteral("png"),
                                 QStringLiteral("Draw the trend into OUT (a PNG image) and exit."),
                                 QStringLiteral("OUT"));
    const QCommandLineOption size(QStringLiteral("size"),
                                  QStringLiteral("The image's size in pixels (default 1200x600)."),
                                  QStringLiteral("WxH"));
    const QCommandLineOption from(
        QStringLiteral("from"),
        QStringLiteral("Begin the view at TIME (2026-12-09T08:00, local time unless an "
                       "offset such as +01:00 is given); default: the first row."),
        QStringLiteral("TIME"));
    const QCommandLineOption to(QStringLiteral("to"),
                                QStringLiteral("End the view at TIME; default: the last row."),
                                QStringLiteral("TIME"));
    parser.addOptions({shared.help, shared.version, png, size, from, to});
    parser.addPositionalArgument(QStringLiteral("FILE.csv"), QStringLiteral("A recording."));
    QString usage = parser.helpText();
    usage.replace(QStringLiteral("<executable_name>"), QStringLiteral("polltrend"));
    usage += QStringLiteral(
        "\nKeys in the window: + and - zoom, Left and Right go back and forth, End (or a double "
        "click) returns to the newest rows, 1 to 8 hide or show a channel.\n\nExamples:\n"
        "  autopoll --record today.csv & polltrend today.csv\n"
        "  polltrend today.csv --png today.png --from 2026-12-09T08:00 --to 2026-12-09T12:00\n");

    const auto usageError = [&](const QString& why) {
        QTextStream(stderr) << "polltrend: " << why << "\n\n" << usage;
        return 2;
    };
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(shared.help)) {
        QTextStream(stdout) << usage;
        return 0;
    }
    if (parser.isSet(shared.version)) {
        QTextStream(stdout) << "polltrend " << POLLTOOLS_VERSION << Qt::endl;
        return 0;
    }
    if (const QString empty = apps::EmptyValueError(parser, {png}); !empty.isEmpty())
        return usageError(empty);
    const QStringList files = parser.positionalArguments();
    if (files.size() != 1 || files.first().isEmpty())
        return usageError(files.isEmpty() ? QStringLiteral("which recording? name a FILE.csv")
                                          : QStringLiteral("one FILE.csv at a time"));

    Options options;
    options.file = files.first();
    options.png = parser.value(png);
    if (parser.isSet(size)) {
        const QRegularExpressionMatch match =
            QRegularExpression(QStringLiteral(R"(^(\d{2,5})x(\d{2,5})$)"))
                .match(parser.value(size));
        const int width = match.captured(1).toInt();
        const int height = match.captured(2).toInt();
        // 16384 a side: past that an image of 4 bytes a pixel needs more than 1 GiB.
        if (!match.hasMatch() || width < 200 || height < 100 || width > 16384 || height > 16384)
            return usageError(QStringLiteral(
                "--size must be WIDTHxHEIGHT in pixels, from 200x100 to 16384x16384"));
        options.size = {width, height};
    }
    for (const auto& [option, slot] :
         {std::pair{&from, &options.from}, std::pair{&to, &options.to}}) {
        if (!parser.isSet(*option))
            continue;
        *slot = parseTime(parser.value(*option));
        if (!*slot)
            return usageError(
                QStringLiteral(
                    "--%1 must be a time like 2026-12-09T08:00 or 2026-12-09T08:00:00+01:00")
                    .arg(option->names().first()));
    }
    if (options.from && options.to && *options.from >= *options.to)
        return usageError(QStringLiteral("--from must come before --to"));
    return options;
}

// The view over [from, to], each end the file's own where not given.
void showRange(ui::TrendView& view, const polltrend::RecordingFollower& follower,
               const Options& options)
{
    const auto span = follower.span();
    if (!span && !(options.from && options.to))
        return;
    const qint64 from = options.from.value_or(span ? span->first : 0);
    const qint64 to = options.to.value_or(span ? span->second : 0);
    // A single row, or a --to before the first row: at least the shortest span.
    view.setTimeWindow(std::min(from, to - ui::TrendView::kMinSpanMs), to);
}

// Why `path` cannot be shown, told before any window: it cannot be opened,
// or its first line is not the header. An empty file is waited for.
std::optional<QString> refusal(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
    poll::RecordingReader reader(path);
    reader.feed(file.read(poll::RecordingReader::kMaxLineLength + 2));
    if (reader.state() == poll::RecordingReader::State::NotARecording)
        return reader.errorString();
    return std::nullopt;
}

} // namespace

int main(int argc, char* argv[])
{
    apps::PrepareProcess();
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const auto parsed = parseOptions(arguments);
    if (const int* status = std::get_if<int>(&parsed))
        return *status;
    const Options& options = std::get<Options>(parsed);

    if (const std::optional<QString> why = refusal(options.file)) {
        say(*why);
        return 2;
    }
#ifndef Q_OS_WIN
    // An image needs no display: drawn offscreen unless a platform was chosen.
    // (Windows always has its desktop, and its zip carries only that platform.)
    if (!options.png.isEmpty() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("polltrend"));

    QWidget window;
    auto* view = new ui::TrendView(&window);
    polltrend::RecordingFollower follower(options.file, *view);
    if (const std::optional<QString> why = follower.readAll()) {
        say(*why);
        return 2;
    }

    if (!options.png.isEmpty()) {
        follower.finish();
        if (follower.reader().state() != poll::RecordingReader::State::Reading) {
            say(follower.reader().errorString());
            return 2;
        }
        showRange(*view, follower, options);
        say(follower.summary());
        const QImage image = view->toImage(options.size);
        if (!image.save(options.png, "PNG")) {
            say(QStringLiteral("cannot write the image to %1").arg(options.png));
            return 1;
        }
        return 0;
    }

    window.setWindowTitle(QStringLiteral("polltrend — %1").arg(QFileInfo(options.file).fileName()));
    auto* layout = new QVBoxLayout(&window);
    auto* status = new QLabel(&window);
    status->setObjectName(QStringLiteral("summary"));
    layout->addWidget(view, 1);
    layout->addWidget(status);

    // While the view still shows what it was given, it grows with the file;
    // once the user zooms or moves it, it stays put.
    std::optional<std::pair<qint64, qint64>> shown;
    const auto update = [&] {
        status->setText(follower.summary());
        if (!follower.span() || (shown && (view->isLive() || view->timeWindow() != *shown)))
            return; // nothing to show yet, or the user has taken the view over
        showRange(*view, follower, options);
        shown = view->timeWindow();
    };
    QObject::connect(&follower, &polltrend::RecordingFollower::changed, &window, update);
    update();
    follower.follow(std::chrono::milliseconds(500));
    window.resize(1000, 560);
    window.show();
    return QApplication::exec();
}
