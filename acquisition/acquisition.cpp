#include "acquisition/acquisition.h"

#include "serial/commcontrol.h"
#ifdef POLL_NETWORK_LINK
#include "network/tcplink.h"
#endif

#include <QCoreApplication>
#include <QTextStream>

namespace acquisition {
namespace {

void printLine(const QString& text)
{
    QTextStream(stderr) << QCoreApplication::applicationName() << ": " << text << Qt::endl;
}

#ifdef POLL_NETWORK_LINK
// The line settings as COM-port control numbers them; the text was checked
// on the command line.
network::ComPortSettings ComPortLine(const QString& text)
{
    const auto parsed = serial::ParseSettings(text);
    const auto* line = std::get_if<serial::LineSettings>(&parsed);
    if (!line)
        return {};
    const auto parity = [&]() -> quint8 {
        switch (line->parity) {
        case QSerialPort::OddParity:
            return 2;
        case QSerialPort::EvenParity:
            return 3;
        case QSerialPort::MarkParity:
            return 4;
        case QSerialPort::SpaceParity:
            return 5;
        default:
            return 1;
        }
    }();
    const quint8 stopBits = line->stopBits == QSerialPort::OneAndHalfStop ? 3
                            : line->stopBits == QSerialPort::TwoStop      ? 2
                                                                          : 1;
    return {static_cast<quint32>(line->baudRate), static_cast<quint8>(line->dataBits), parity,
            stopBits};
}
#endif

// A tcp:// or rfc2217:// port is a serial device server on the network;
// anything else a serial device, opened on the first tick.
poll::Link* MakeLink(const LinkSettings& settings, const QString& device, QObject* parent)
{
#ifdef POLL_NETWORK_LINK
    if (network::IsNetworkUrl(device))
        return new network::TcpLink(device, ComPortLine(settings.lineSettings), parent);
#else
    Q_UNUSED(device) // a tcp:// port was refused on the command line
#endif
    auto* comm = new serial::CommControl(parent);
    comm->setObjectName(QStringLiteral("Comm1"));
    comm->setPortNumber(settings.commPort);
    comm->setDevice(settings.device);
    comm->setSettings(settings.lineSettings);
    return comm;
}

} // namespace

AcquisitionWorker::AcquisitionWorker(poll::Framing framing, const LinkSettings& settings,
                                     bool tellStandardError)
    : m_device(settings.device.isEmpty() ? serial::PortDeviceName(settings.commPort)
                                         : settings.device),
      m_link(MakeLink(settings, m_device, this)), m_poller(framing, *m_link, this),
      m_recorder(settings.recorder), m_tellStandardError(tellStandardError)
{
    m_poller.setInterval(settings.pollInterval);
    m_poller.setEcho(settings.echo);

    if (m_tellStandardError) {
        // Told from this thread, whatever the window is doing.
        connect(&m_poller, &poll::Poller::portFault, this,
                [](const poll::LinkFault& fault) { printLine(fault.text() + fault.hint()); });
        connect(&m_poller, &poll::Poller::portFaultCleared, this,
                [this] { printLine(QStringLiteral("polling %1 again").arg(m_device)); });
        connect(&m_poller, &poll::Poller::moduleSilent, this,
                [](int address, const QDateTime& since) {
                    printLine(poll::ModuleSilentText(address, since));
                });
        connect(&m_poller, &poll::Poller::moduleSilenceEnded, this, [](int address, bool answered) {
            if (answered)
                printLine(QStringLiteral("module %1 answers again").arg(address));
        });
    }
    if (m_recorder)
        connect(&m_poller, &poll::Poller::replyDecoded, this, &AcquisitionWorker::record);
    if (settings.trace) {
        // Written on this thread as each frame goes or comes: one short line,
        // no queue between the event and its time.
        m_traceClock.start();
        connect(&m_poller, &poll::Poller::frameTraced, this,
                [this, framing](const poll::FrameEvent& event) {
                    const double ms = static_cast<double>(m_traceClock.nsecsElapsed()) / 1e6;
                    QTextStream(stderr) << poll::FormatTraceLine(event, framing, ms) << Qt::endl;
                });
    }
}

void AcquisitionWorker::record(const poll::Sample& sample)
{
    const bool written = m_recorder->record(sample);
    if (written == m_recording)
        return;
    m_recording = written;
    if (m_tellStandardError) {
        if (written)
            printLine(QStringLiteral("recording to %1 again").arg(m_recorder->path()));
        else
            printLine(QStringLiteral("cannot write to %1: %2")
                          .arg(m_recorder->path(), m_recorder->errorString()));
    }
    emit recordFault(written ? QString() : m_recorder->errorString());
}

Acquisition::Acquisition(poll::Framing framing, const LinkSettings& settings,
                         bool tellStandardError)
    : m_worker(new AcquisitionWorker(framing, settings, tellStandardError))
{
    m_thread.setObjectName(QStringLiteral("acquisition"));
    if (settings.publish) {
        m_publisher = std::make_unique<PublisherThread>(*settings.publish);
        Publisher* publisher = &m_publisher->publisher();
        const poll::Poller* poller = &m_worker->poller();
        connect(poller, &poll::Poller::replyDecoded, publisher, &Publisher::publish);
        connect(poller, &poll::Poller::portFault, publisher, &Publisher::portFault);
        connect(poller, &poll::Poller::portFaultCleared, publisher, &Publisher::portFaultCleared);
        if (tellStandardError) {
            // Told from the publisher's thread, once a reason.
            connect(publisher, &Publisher::fault, publisher,
                    [](const PublishFault& fault) { printLine(fault.text()); });
            connect(publisher, &Publisher::faultCleared, publisher,
                    [where = settings.publish->where] {
                        printLine(QStringLiteral("publishing to %1 again").arg(where));
                    });
        }
    }
    m_worker->moveToThread(&m_thread);
    connect(this, &Acquisition::requestSet, m_worker, &AcquisitionWorker::setRequest);
    connect(this, &Acquisition::startAsked, m_worker,
            qOverload<const QByteArray&>(&AcquisitionWorker::start));
    // Deleted on its own thread once its event loop has ended.
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    // Ahead of the window's thread where the system grants it (Windows; a
    // Linux user without privileges keeps the normal priority): a repaint
    // must not hold a request back.
    m_thread.start(QThread::HighestPriority);
}

Acquisition::~Acquisition()
{
    finishPublishing(std::chrono::seconds(2));
    for (QObject* listener : std::as_const(m_listeners))
        if (listener)
            QCoreApplication::removePostedEvents(listener, QEvent::MetaCall);
}

void Acquisition::stop()
{
    m_thread.quit();
    m_thread.wait();
}

bool Acquisition::finishPublishing(std::chrono::milliseconds within)
{
    stop(); // no reading comes after this
    if (!m_publisher)
        return true;
    m_publisher->finish(within);
    return m_publisher->allSent();
}

} // namespace acquisition
