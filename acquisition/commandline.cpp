#include "acquisition/commandline.h"

#include "acquisition/startup.h"
#ifdef POLL_NETWORK_LINK
#include "network/tcplink.h"
#endif

#include <QTextStream>

namespace acquisition {
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

CommandLine::CommandLine(About about)
    : m_about(std::move(about)), m_help({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Show this help and exit.")),
      m_version({QStringLiteral("v"), QStringLiteral("version")},
                QStringLiteral("Show the version and exit.")),
      m_port(QStringLiteral("port"),
             QStringLiteral("Serial device for port 1, for example /dev/ttyUSB0 or COM7, or a "
                            "serial device server on the network, tcp://HOST:PORT (raw) or "
                            "rfc2217://HOST:PORT (the line set by telnet)."),
             QStringLiteral("DEVICE")),
      m_record(QStringLiteral("record"),
               m_about.kind == About::Kind::Console
                   ? QStringLiteral("Append one CSV line per decoded reply to FILE (- for standard "
                                    "output): time, polls, errors, checksum_ok, ch0 to ch7, "
                                    "address.")
                   : QStringLiteral("Append one CSV line per decoded reply to FILE: time, polls, "
                                    "errors, checksum_ok, ch0 to ch7, address."),
               QStringLiteral("FILE")),
      m_trend(QStringLiteral("trend"),
              QStringLiteral("Open the trend window beside the form at start: the eight channels "
                             "over time. In a running program, Ctrl+T or the form's context menu "
                             "(right click) opens it.")),
      m_echo(QStringLiteral("echo"),
             QStringLiteral("The adapter hears its own transmitter (many two-wire RS-485 "
                            "adapters): drop the copy of each request that comes back ahead of "
                            "the reply.")),
      m_trace(QStringLiteral("trace"),
              QStringLiteral("One line on standard error per frame, with a monotonic time in ms: "
                             "each request sent and reply received (hex in RTU, text in ASCII) "
                             "with its checksum verdict, bytes dropped, and each poll left "
                             "without a reply.")),
      m_listPorts(QStringLiteral("list-ports"),
                  QStringLiteral("Print each serial port found (the device for --port, its stable "
                                 "name on Linux, description, maker, serial number, USB ids, "
                                 "whether another program has it open) and exit.")),
      m_publish(
          QStringLiteral("publish"),
          QStringLiteral("Also publish each reading to the MQTT broker at URL, "
                         "mqtt://HOST[:PORT]/TOPIC-PREFIX (mqtts:// for TLS): JSON to "
                         "PREFIX/reading, each channel retained on PREFIX/ch0 to ch7, "
                         "online, offline or the port's fault retained on PREFIX/status. "
                         "Readings the broker cannot take yet wait, in order, up to a day's."),
          QStringLiteral("URL")),
      m_publishUser(QStringLiteral("publish-user"),
                    QStringLiteral("The broker's user name (else $POLL_MQTT_USER)."),
                    QStringLiteral("NAME")),
      m_publishPasswordFile(
          QStringLiteral("publish-password-file"),
          QStringLiteral("Read the broker's password from the first line of FILE, which only its "
                         "owner may read (else $POLL_MQTT_PASSWORD); never in the URL."),
          QStringLiteral("FILE")),
      m_publishCa(QStringLiteral("publish-ca"),
                  QStringLiteral("With mqtts://, trust the broker's certificate if FILE's CA "
                                 "signed it (default: the system's CAs)."),
                  QStringLiteral("FILE")),
      m_publishClientId(QStringLiteral("publish-client-id"),
                        QStringLiteral("The MQTT client id (default: the program, host and port, "
                                       "the same at every start)."),
                        QStringLiteral("ID"))
{
    m_parser.setApplicationDescription(wrapped(m_about.description));
    m_parser.addOptions({m_help, m_version});
    if (m_about.kind == About::Kind::Viewer)
        return;
    m_parser.addOption(m_port);
    m_parser.addOption(m_record);
    if (m_about.kind == About::Kind::Window)
        m_parser.addOption(m_trend);
    m_parser.addOptions({m_echo, m_trace, m_listPorts, m_publish, m_publishUser,
                         m_publishPasswordFile, m_publishCa, m_publishClientId});
    m_refuseEmpty = {m_port,      m_record,         m_publish, m_publishUser, m_publishPasswordFile,
                     m_publishCa, m_publishClientId};
}

void CommandLine::addOption(const QCommandLineOption& option)
{
    m_parser.addOption(option);
}

void CommandLine::refuseEmptyValue(const QCommandLineOption& option)
{
    m_refuseEmpty.append(option);
}

QString CommandLine::usage() const
{
    QString text = m_parser.helpText();
    // No application object yet to ask its name.
    text.replace(QStringLiteral("<executable_name>"), m_about.name);
    if (!m_about.arguments.isEmpty())
        text.replace(QStringLiteral("[options]"),
                     QStringLiteral("[options] %1").arg(m_about.arguments));
    if (!m_about.argumentsHelp.isEmpty())
        text += QStringLiteral("\nArguments:\n  %1  %2\n")
                    .arg(m_about.arguments, m_about.argumentsHelp);
    if (m_about.kind != About::Kind::Viewer) {
        const QString example =
            !m_about.example.isEmpty()
                ? m_about.example
                : m_about.name + QStringLiteral(" --port /dev/ttyUSB0 --record values.csv");
        text += QStringLiteral(R"(
Serial port 1 is the device given with --port, else the one named by the
environment variable COMM_PORT1, else /dev/ttyS0 (COM1 on Windows). The line
runs at 9600 baud, no parity, 8 data bits, 1 stop bit.

Example:
  %1
)")
                    .arg(example);
    }
    return text + m_extraHelp;
}

int CommandLine::usageError(const QString& why) const
{
    QTextStream(stderr) << m_about.name << ": " << why << "\n\n" << usage();
    return 2;
}

std::optional<int> CommandLine::parse(const QStringList& arguments)
{
    if (!m_parser.parse(arguments))
        return usageError(m_parser.errorText());
    for (const QCommandLineOption& option : std::as_const(m_refuseEmpty))
        if (m_parser.isSet(option) && m_parser.value(option).isEmpty())
            return usageError(QStringLiteral("--%1 needs a %2, not an empty text")
                                  .arg(option.names().constLast(), option.valueName()));
    if (m_about.arguments.isEmpty() && !m_parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("unexpected argument '%1'").arg(m_parser.positionalArguments().first()));
    if (m_parser.isSet(m_help)) {
        QTextStream(stdout) << usage();
        return 0;
    }
    if (m_parser.isSet(m_version)) {
        QTextStream(stdout) << m_about.name << " " << QStringLiteral(POLLTOOLS_VERSION) << "\n";
        return 0;
    }
    return std::nullopt;
}

QString CommandLine::port() const
{
    return m_about.kind == About::Kind::Viewer ? QString() : m_parser.value(m_port);
}

QString CommandLine::record() const
{
    return m_about.kind == About::Kind::Viewer ? QString() : m_parser.value(m_record);
}

bool CommandLine::trend() const
{
    return m_about.kind == About::Kind::Window && m_parser.isSet(m_trend);
}

bool CommandLine::echo() const
{
    return m_about.kind != About::Kind::Viewer && m_parser.isSet(m_echo);
}

bool CommandLine::trace() const
{
    return m_about.kind != About::Kind::Viewer && m_parser.isSet(m_trace);
}

bool CommandLine::listPorts() const
{
    return m_about.kind != About::Kind::Viewer && m_parser.isSet(m_listPorts);
}

std::variant<LinkSettings, int> CommandLine::linkSettings() const
{
    const auto refuse = [this](const QString& why) {
        QTextStream(stderr) << m_about.name << ": " << why << Qt::endl;
        return 2;
    };
    if (trace() && !record().isEmpty()) {
        if (const std::optional<QString> why = TraceIntoRecording(record()))
            return refuse(*why);
    }
    LinkSettings settings;
    settings.device = port();
    const QString device =
        settings.device.isEmpty() ? serial::PortDeviceName(settings.commPort) : settings.device;
#ifndef POLL_NETWORK_LINK
    if (device.startsWith(QStringLiteral("tcp://"), Qt::CaseInsensitive) ||
        device.startsWith(QStringLiteral("rfc2217://"), Qt::CaseInsensitive))
        return usageError(
            QStringLiteral("%1: this build has no network link (built without Qt Network)")
                .arg(device));
#else
    if (network::IsNetworkUrl(device)) {
        const auto address = network::ParseNetworkUrl(device);
        if (const auto* why = std::get_if<QString>(&address))
            return usageError(*why);
        // Said here, once, whichever program and whether or not it tells
        // its faults on standard error itself.
        if (!std::get<network::TcpAddress>(address).comPortControl)
            QTextStream(stderr) << m_about.name << ": " << device
                                << " carries the frames as they are: baud, parity, data and stop "
                                   "bits are the server's to set"
                                << Qt::endl;
    }
#endif
    settings.echo = echo();
    settings.trace = trace();
    if (m_about.kind != About::Kind::Viewer && m_parser.isSet(m_publish)) {
        auto publish =
            ReadPublishSettings({m_parser.value(m_publish), m_parser.value(m_publishUser),
                                 m_parser.value(m_publishPasswordFile), m_parser.value(m_publishCa),
                                 m_parser.value(m_publishClientId), m_about.name, device});
        if (const QString* why = std::get_if<QString>(&publish))
            return usageError(*why);
        settings.publish = std::get<PublishSettings>(publish);
    } else {
        for (const QCommandLineOption& option :
             {m_publishUser, m_publishPasswordFile, m_publishCa, m_publishClientId})
            if (m_about.kind != About::Kind::Viewer && m_parser.isSet(option))
                return usageError(
                    QStringLiteral("--%1 without --publish").arg(option.names().constLast()));
    }
    if (!record().isEmpty()) {
        auto opened = Recorder::Open(record());
        if (const QString* why = std::get_if<QString>(&opened))
            return refuse(*why);
        settings.recorder = std::move(std::get<std::unique_ptr<Recorder>>(opened));
    }
    return settings;
}

} // namespace acquisition
