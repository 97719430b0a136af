#include "apps/common/commandline.h"

#include <QCommandLineParser>
#include <QTextStream>

namespace apps {
namespace {

// Words of `text` in lines of at most 79 characters.
QString wrapped(const QString& text)
{
    QString result;
    qsizetype lineLength = 0;
    for (const QString& word : text.split(u' ', Qt::SkipEmptyParts)) {
        if (lineLength > 0 && lineLength + 1 + word.size() > 79) {
            result += u'\n';
            lineLength = 0;
        } else if (lineLength > 0) {
            result += u' ';
            ++lineLength;
        }
        result += word;
        lineLength += word.size();
    }
    return result;
}

} // namespace

SharedOptions MakeSharedOptions()
{
    return {
        QCommandLineOption({QStringLiteral("h"), QStringLiteral("help")},
                           QStringLiteral("Show this help and exit.")),
        QCommandLineOption({QStringLiteral("v"), QStringLiteral("version")},
                           QStringLiteral("Show the version and exit.")),
        QCommandLineOption(
            QStringLiteral("port"),
            QStringLiteral("Serial device for port 1, for example /dev/ttyUSB0 or COM7."),
            QStringLiteral("DEVICE")),
        QCommandLineOption(
            QStringLiteral("echo"),
            QStringLiteral("The adapter hears its own transmitter (many two-wire RS-485 adapters): "
                           "drop the copy of each request that comes back ahead of the reply.")),
        QCommandLineOption(
            QStringLiteral("trace"),
            QStringLiteral(
                "One line on standard error per frame, with a monotonic time in ms: each "
                "request sent and reply received (hex in RTU, text in ASCII) with its "
                "checksum verdict, bytes dropped, and each poll left without a reply.")),
        QCommandLineOption(
            QStringLiteral("list-ports"),
            QStringLiteral("Print each serial port found (the device for --port, its stable name "
                           "on Linux, description, maker, serial number, USB ids, whether another "
                           "program has it open) and exit.")),
    };
}

QString EmptyValueError(const QCommandLineParser& parser, const QList<QCommandLineOption>& options)
{
    for (const QCommandLineOption& option : options) {
        if (parser.isSet(option) && parser.value(option).isEmpty())
            return QStringLiteral("--%1 needs a %2, not an empty text")
                .arg(option.names().constLast(), option.valueName());
    }
    return {};
}

QString PortNote(const QString& example)
{
    return QStringLiteral(R"(
Serial port 1 is the device given with --port, else the one named by the
environment variable COMM_PORT1, else /dev/ttyS0 (COM1 on Windows). The line
runs at 9600 baud, no parity, 8 data bits, 1 stop bit.

Example:
  %1
)")
        .arg(example);
}

std::variant<CommandLine, int> ParseCommandLine(const QStringList& arguments, const About& about)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(wrapped(about.description));
    const auto [help, version, port, echo, trace, listPorts] = MakeSharedOptions();
    const QCommandLineOption record(
        QStringLiteral("record"),
        QStringLiteral("Append one CSV line per decoded reply to FILE: "
                       "time, polls, errors, checksum_ok, ch0 to ch7, address."),
        QStringLiteral("FILE"));
    const QCommandLineOption trend(
        QStringLiteral("trend"),
        QStringLiteral(
            "Open the trend window beside the form at start: the eight channels over time. "
            "In a running program, Ctrl+T or the form's context menu (right click) opens it."));
    parser.addOptions({help, version, port, record, trend, echo, trace, listPorts});

    QString usage = parser.helpText();
    usage.replace(QStringLiteral("<executable_name>"),
                  about.name); // no application object yet to ask
    usage += PortNote(about.name + QStringLiteral(" --port /dev/ttyUSB0 --record values.csv"));

    const bool parsed = parser.parse(arguments);
    const QString emptyValue = parsed ? EmptyValueError(parser, {port, record}) : QString();
    if (!parsed || !parser.positionalArguments().isEmpty() || !emptyValue.isEmpty()) {
        const QString reason = !parsed ? parser.errorText()
                               : !emptyValue.isEmpty()
                                   ? emptyValue
                                   : QStringLiteral("unexpected argument '%1'")
                                         .arg(parser.positionalArguments().first());
        QTextStream(stderr) << about.name << ": " << reason << "\n\n" << usage;
        return 2;
    }
    if (parser.isSet(help)) {
        QTextStream(stdout) << usage;
        return 0;
    }
    if (parser.isSet(version)) {
        QTextStream(stdout) << about.name << " " << QStringLiteral(POLLTOOLS_VERSION) << "\n";
        return 0;
    }
    return CommandLine{parser.value(port), parser.value(record), parser.isSet(trend),
                       parser.isSet(echo), parser.isSet(trace),  parser.isSet(listPorts)};
}

} // namespace apps
