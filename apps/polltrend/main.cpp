// polltrend: the eight channels of a recording over time, in a window that
// follows the file while it grows, or drawn into a PNG without a display; or
// a station's live readings from a broker, in a window.

#include "acquisition/commandline.h"
#include "acquisition/publisher.h"
#include "acquisition/startup.h"
#include "apps/common/winconsole.h"
#include "poll/csvformat.h"
#include "polltrend/brokerfeed.h"
#include "polltrend/follower.h"
#include "ui/trendmenu.h"
#include "ui/trendview.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QLabel>
#include <QRegularExpression>
#include <QTextStream>
#include <QTimeZone>
#include <QVBoxLayout>

#include <climits>
#include <limits>
#include <optional>
#include <variant>

namespace {

void say(const QString& text)
{
    QTextStream(stderr) << "polltrend: " << text << Qt::endl;
}

// "2026-12-09T08:00", "2026-12-09 08:00:30", "2026-12-09T08:00:30.250+01:00":
// local time unless an offset or Z is given. The time, or why it is none.
std::variant<qint64, QString> parseTime(QString text)
{
    text.replace(u' ', u'T');
    static const QRegularExpression form(QStringLiteral(
        R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}(:\d{2}(\.\d{1,3})?)?(Z|[+-]\d{2}:\d{2})?$)"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return QStringLiteral("must be a time like 2026-12-09T08:00 or 2026-12-09T08:00:00+01:00");
    const QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (time.isValid())
        return time.toMSecsSinceEpoch();
    // Read in UTC it is a time: the local clock skipped it (02:30 on the
    // last Sunday of March in Berlin).
    if (!match.hasCaptured(3) && QDateTime::fromString(text + u'Z', Qt::ISODateWithMs).isValid())
        return QStringLiteral("there is no such local time (a daylight-saving change); give "
                              "the offset meant, such as +01:00");
    return text.startsWith(QStringLiteral("0000"))
               ? QStringLiteral("the calendar has no year 0000")
               : QStringLiteral("there is no such date or time");
}

struct Options
{
    QString file;
    QString png;
    QString title; // replaces the image's own
    QSize size{1200, 600};
    std::optional<qint64> from, to;
    std::optional<acquisition::PublishSettings> broker; // instead of a file
};

// The options, or the exit status: 0 after --help or --version, 2 for a
// usage error (said on standard error).
std::variant<Options, int> parseOptions(const QStringList& arguments)
{
    acquisition::CommandLine parser(
        {QStringLiteral("polltrend"),
         QStringLiteral("Shows the eight channels of a recording made with --record (by "
                        "bytepoll, autopoll, textpoll or pollcli) over time, and follows the file "
                        "while it grows. With --png, draws the image into a file and exits, "
                        "without a display. Given a broker's URL instead, shows the live "
                        "readings a station publishes there (--publish), from its last values "
                        "on."),
         acquisition::About::Kind::Viewer, QString(), QStringLiteral("FILE.csv|URL"),
         QStringLiteral("A recording, or a station's topics on an MQTT broker: "
                        "mqtt://HOST[:PORT]/TOPIC-PREFIX (mqtts:// for TLS).")});
    const QCommandLineOption png(
        QStringLiteral("png"),
        QStringLiteral("Draw the trend into OUT and exit: a PNG image, or by OUT's suffix an SVG "
                       "drawing (.svg) or a JPEG (.jpg). The image's title line names the file, "
                       "the date and the time range drawn."),
        QStringLiteral("OUT"));
    const QCommandLineOption title(QStringLiteral("title"),
                                   QStringLiteral("With --png: TEXT as the image's title line."),
                                   QStringLiteral("TEXT"));
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
    // Named as the pollers name them, so that a plant's scripts give both the same.
    const QCommandLineOption user(QStringLiteral("publish-user"),
                                  QStringLiteral("With a URL: the broker's user name (else "
                                                 "$POLL_MQTT_USER)."),
                                  QStringLiteral("NAME"));
    const QCommandLineOption passwordFile(
        QStringLiteral("publish-password-file"),
        QStringLiteral("With a URL: read the broker's password from the first line of FILE, which "
                       "only its owner may read (else $POLL_MQTT_PASSWORD); never in the URL."),
        QStringLiteral("FILE"));
    const QCommandLineOption ca(QStringLiteral("publish-ca"),
                                QStringLiteral("With mqtts://, trust the broker's certificate if "
                                               "FILE's CA signed it (default: the system's CAs)."),
                                QStringLiteral("FILE"));
    const QCommandLineOption clientId(
        QStringLiteral("publish-client-id"),
        QStringLiteral("With a URL: the MQTT client id (default: a new one at each start)."),
        QStringLiteral("ID"));
    for (const QCommandLineOption& option :
         {png, title, size, from, to, user, passwordFile, ca, clientId})
        parser.addOption(option);
    for (const QCommandLineOption& option : {user, passwordFile, ca, clientId})
        parser.refuseEmptyValue(option);
    parser.addHelpText(QStringLiteral(
        "\nIn the window:\n"
        "  + and -, the wheel   zoom in and out\n"
        "  Left, Right, a drag  go back and forth\n"
        "  Home                 the first rows\n"
        "  End, a double click  back to the newest rows (live)\n"
        "  1 to 8               hide or show a channel (or click its legend)\n"
        "  a click, A           marker A at the pointer (A: the view's centre without one)\n"
        "  shift-click, B       marker B; the panel gives each channel at A, at B, B-A\n"
        "  Delete, Backspace    clear both markers\n"
        "  S                    value axis: one axis, each channel on its own scale, stacked\n"
        "  ? or F1              the list of keys over the plot\n"
        "  Ctrl+S               save the view as an image (.png, .svg or .jpg)\n"
        "  Ctrl+C               copy the values at the pointer or between the markers (CSV)\n"
        "  Ctrl+Shift+C         copy the image\n"
        "  Ctrl+E               export the rows in view as a CSV recording\n"
        "  Esc, Ctrl+W          close the window\n"
        "A right click opens the menu of these, with show all and reset zoom.\n\nExamples:\n"
        "  autopoll --record today.csv & polltrend today.csv\n"
        "  polltrend today.csv --png today.png --from 2026-12-09T08:00 --to 2026-12-09T12:00\n"
        "  polltrend today.csv --png today.svg --title \"Line 3, morning shift\"\n"
        "  polltrend mqtt://broker.local/plant/line3 --publish-user viewer "
        "--publish-password-file ~/.broker-password\n"));
    const auto usageError = [&](const QString& why) { return parser.usageError(why); };
    if (const std::optional<int> status = parser.parse(arguments))
        return *status;
    if (parser.isSet(png) && parser.value(png).isEmpty())
        return usageError(QStringLiteral("--png needs the name of the image file to write"));
    const QStringList files = parser.positionalArguments();
    if (files.size() != 1 || files.first().isEmpty())
        return usageError(files.isEmpty() ? QStringLiteral("which recording? name a FILE.csv")
                                          : QStringLiteral("one FILE.csv or URL at a time"));

    Options options;
    static const QRegularExpression brokerUrl(QStringLiteral("^mqtts?://"),
                                              QRegularExpression::CaseInsensitiveOption);
    if (brokerUrl.match(files.first()).hasMatch()) {
        if (parser.isSet(png)) {
            say(QStringLiteral("--png draws a recording: a broker's live readings have no end to "
                               "draw; record them (pollcli --record) and draw the file"));
            return 2;
        }
        for (const QCommandLineOption& option : {title, size, from, to})
            if (parser.isSet(option))
                return usageError(QStringLiteral("--%1 is for a recording, not a broker")
                                      .arg(option.names().constFirst()));
        auto read = acquisition::ReadPublishSettings(
            {files.first(), parser.value(user), parser.value(passwordFile), parser.value(ca),
             parser.value(clientId), QStringLiteral("polltrend"), QString(),
             QStringLiteral("the broker URL")});
        if (const QString* why = std::get_if<QString>(&read))
            return usageError(*why);
        auto& settings = std::get<acquisition::PublishSettings>(read);
        // A viewer leaves no will: gone without a goodbye, it would have the
        // broker tell the station offline.
        settings.broker.willTopic.clear();
        settings.broker.willPayload.clear();
        // One id for every viewer on a machine would have each new one take
        // the session of the last: the library makes a new one unless given.
        if (!parser.isSet(clientId))
            settings.broker.clientId.clear();
        options.broker = std::move(settings);
        return options;
    }
    for (const QCommandLineOption& option : {user, passwordFile, ca, clientId})
        if (parser.isSet(option))
            return usageError(QStringLiteral("--%1 is for a broker's URL, not a file")
                                  .arg(option.names().constFirst()));
    options.file = files.first();
    options.png = parser.value(png);
    if (parser.isSet(title) && !parser.isSet(png))
        return usageError(QStringLiteral("--title is the title of the image drawn with --png"));
    options.title = parser.value(title);
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
        const auto time = parseTime(parser.value(*option));
        if (const QString* why = std::get_if<QString>(&time))
            return usageError(QStringLiteral("--%1 %2: %3")
                                  .arg(option->names().first(), parser.value(*option), *why));
        *slot = std::get<qint64>(time);
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
    if (!span && !options.from && !options.to)
        return;
    qint64 from = options.from.value_or(span ? span->first : *options.to);
    qint64 to = options.to.value_or(span ? span->second : *options.from);
    // A single row, a --from after the last row or a --to before the first:
    // at least the shortest span, from the time asked.
    if (to - from < ui::TrendView::kMinSpanMs) {
        if (options.from && !options.to)
            to = from + ui::TrendView::kMinSpanMs;
        else
            from = to - ui::TrendView::kMinSpanMs;
    }
    view.setTimeWindow(from, to);
}

// Local time with its offset, as the recording writes it: 2026-12-09T08:00:01+01:00.
QString timeText(qint64 ms)
{
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(ms);
    return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + poll::UtcOffsetText(time);
}

// Why --from and --to show nothing, naming the times the file holds; empty
// if a row lies between them, or neither was given.
QString emptyRangeNote(const ui::TrendView& view, const polltrend::RecordingFollower& follower,
                       const Options& options)
{
    if (!options.from && !options.to)
        return {};
    const poll::History& history = view.history();
    const qsizetype first = history.lowerBound(options.from.value_or(LLONG_MIN));
    if (first < history.size() && history.at(first).timeMs <= options.to.value_or(LLONG_MAX))
        return {};
    const QString asked = options.from && options.to
                              ? QStringLiteral("between %1 and %2")
                                    .arg(timeText(*options.from), timeText(*options.to))
                          : options.from ? QStringLiteral("from %1 on").arg(timeText(*options.from))
                                         : QStringLiteral("up to %1").arg(timeText(*options.to));
    const auto span = follower.span();
    return QStringLiteral("no rows %1: %2")
        .arg(asked, span ? QStringLiteral("the file's rows run from %1 to %2")
                               .arg(timeText(span->first), timeText(span->second))
                         : QStringLiteral("the file has no rows"));
}

// Why `path` cannot be shown, told before any window: it cannot be opened,
// is not a file, or its first line is not the header. An empty file is
// waited for.
std::optional<QString> refusal(const QString& path)
{
    QFile file;
    if (const std::optional<QString> why = polltrend::OpenRecordingFile(file, path))
        return why;
    poll::RecordingReader reader(path);
    reader.feed(file.read(poll::RecordingReader::kMaxLineLength + 2));
    if (reader.state() == poll::RecordingReader::State::NotARecording)
        return reader.errorString();
    return std::nullopt;
}

// A station's readings from its broker, in a window until it is closed.
int showBroker(acquisition::PublishSettings settings, int argc, char* argv[])
{
    if (const std::optional<QString> why = acquisition::NoDisplay(
            QStringLiteral("a broker's live readings are shown in a window only"))) {
        say(*why);
        return 2;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("polltrend"));
    // The last 24 hours at one reading a second, as a poller's own trend.
    poll::History history;
    polltrend::BrokerWindow window(std::move(settings), history);
    window.resize(1000, 560);
    window.show();
    return QApplication::exec();
}

} // namespace

int main(int argc, char* argv[])
{
    acquisition::PrepareProcess();
    // Windows: --help, --png's words and errors reach the console it was
    // started from, or a message box.
    const apps::ConsoleOutput console("polltrend");
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const auto parsed = parseOptions(arguments);
    if (const int* status = std::get_if<int>(&parsed))
        return *status;
    const Options& options = std::get<Options>(parsed);
    if (options.broker)
        return showBroker(*options.broker, argc, argv);

    if (const std::optional<QString> why = refusal(options.file)) {
        say(*why);
        return 2;
    }
    if (!options.png.isEmpty() && polltrend::SameFile(options.file, options.png)) {
        say(QStringLiteral("--png %1 is the recording itself; name another file for the image")
                .arg(options.png));
        return 2;
    }
    if (options.png.isEmpty()) {
        if (const std::optional<QString> why = acquisition::NoDisplay(
                QStringLiteral("draw an image instead with --png OUT.png"))) {
            say(*why);
            return 2;
        }
    }
#ifndef Q_OS_WIN
    // An image needs no display: drawn offscreen unless a platform was chosen.
    // (Windows always has its desktop, and its zip carries only that platform.)
    if (!options.png.isEmpty() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("polltrend"));
    // Known once Qt's image plugins are (a JPEG is one), before any drawing.
    QByteArray format;
    if (!options.png.isEmpty()) {
        const auto chosen = ui::ImageFormatFor(options.png, true);
        if (const QString* why = std::get_if<QString>(&chosen)) {
            say(*why);
            return 2;
        }
        format = std::get<QByteArray>(chosen);
    }

    QWidget window;
    // A file viewer keeps the whole file: the samples are allocated as they
    // come, so this bounds nothing but what is read.
    poll::History history(std::numeric_limits<qsizetype>::max() / 2);
    auto* view = new ui::TrendView(history, &window);
    // A recording's live edge is its last row: its end, not the clock's.
    view->setLiveEdgeFollowsClock(false);
    polltrend::RecordingFollower follower(options.file, history);
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
        if (const QString empty = emptyRangeNote(*view, follower, options); !empty.isEmpty()) {
            say(empty);
            return 1;
        }
        say(follower.summary());
        showRange(*view, follower, options);
        // 16384x16384 at 4 bytes a pixel is 1 GiB: tried before drawing, so
        // that a refusal comes as one line, not a painter's warnings.
        const qint64 mib = qint64(options.size.width()) * options.size.height() * 4 >> 20;
        const auto tooLarge = [&] {
            say(QStringLiteral("cannot draw a %1x%2 image: not enough memory for its %3 MiB")
                    .arg(options.size.width())
                    .arg(options.size.height())
                    .arg(mib));
            return 1;
        };
        if (QImage(options.size, QImage::Format_RGB32).isNull())
            return tooLarge();
        const auto [shownFrom, shownTo] = view->timeWindow();
        const QString title =
            options.title.isEmpty()
                ? ui::ImageTitle(QFileInfo(options.file).fileName(), shownFrom, shownTo)
                : options.title;
        const auto image = ui::EncodeImage(*view, options.size, format, title);
        if (const QString* why = std::get_if<QString>(&image)) {
            say(QStringLiteral("cannot draw the image: %1").arg(*why));
            return 1;
        }
        if (const std::optional<QString> why =
                ui::WriteWhole(options.png, std::get<QByteArray>(image))) {
            say(QStringLiteral("cannot write the image to %1: %2").arg(options.png, *why));
            return 1;
        }
        return 0;
    }

    window.setWindowTitle(QStringLiteral("polltrend — %1").arg(QFileInfo(options.file).fileName()));
    new ui::TrendMenu(*view, QFileInfo(options.file).fileName());
    auto* layout = new QVBoxLayout(&window);
    auto* status = new QLabel(&window);
    status->setObjectName(QStringLiteral("summary"));
    layout->addWidget(view, 1);
    layout->addWidget(status);

    // While the view still shows what it was given, it grows with the file;
    // once the user zooms or moves it, it stays put.
    std::optional<std::pair<qint64, qint64>> shown;
    const auto update = [&] {
        const QString empty = emptyRangeNote(*view, follower, options);
        status->setText(empty.isEmpty() ? follower.summary() : follower.summary() + u'\n' + empty);
        if (!follower.span() || (shown && (view->isLive() || view->timeWindow() != *shown)))
            return; // nothing to show yet, or the user has taken the view over
        showRange(*view, follower, options);
        shown = view->timeWindow();
    };
    QObject::connect(&follower, &polltrend::RecordingFollower::changed, &window, update);
    // A new file is shown whole, as the first one was.
    QObject::connect(&follower, &polltrend::RecordingFollower::startedOver, &window,
                     [&] { shown.reset(); });
    update();
    follower.follow(std::chrono::milliseconds(500));
    window.resize(1000, 560);
    window.show();
    return QApplication::exec();
}
