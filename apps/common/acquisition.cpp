#include "apps/common/acquisition.h"

#include "poll/viewrelay.h"
#include "serial/commcontrol.h"

#include <QCoreApplication>
#include <QTextStream>

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace apps {
namespace {

// Runs `call` on the thread of `line`, from its event loop. Qt's posted-event
// queue orders the call after everything the posting thread did before it;
// the mutex behind that lies in Qt, which ThreadSanitizer cannot see into
// unless Qt was built for it, so a ThreadSanitizer build is told here.
template<typename Call>
void post(QObject* line, Call call)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_release(line);
    QMetaObject::invokeMethod(line, [line, call] { __tsan_acquire(line); call(); }, Qt::QueuedConnection);
#else
    QMetaObject::invokeMethod(line, call, Qt::QueuedConnection);
#endif
}

void printLine(const QString& text)
{
    QTextStream(stderr) << QCoreApplication::applicationName() << ": " << text << Qt::endl;
}

} // namespace

Acquisition::Acquisition(poll::Framing framing, const LinkSettings& settings, poll::PollView& view,
                         QObject* viewContext)
    : m_line(new QObject)
{
    m_thread.setObjectName(QStringLiteral("acquisition"));
    auto* comm = new serial::CommControl(m_line);
    comm->setObjectName(QStringLiteral("Comm1"));
    comm->setCommPort(settings.commPort);
    comm->setDevice(settings.device);
    comm->setSettings(settings.lineSettings); // the port opens on the first tick
    auto* relay = new poll::ViewRelay(view, viewContext, m_line);
    m_poller = new poll::Poller(framing, *comm, *relay, m_line);
    m_poller->setInterval(settings.pollInterval);

    // Standard error gets each fault once, from this thread, whatever the
    // window is doing.
    QObject::connect(relay, &poll::ViewRelay::portFault, m_line, [](const serial::CommFault& fault) {
        const bool chooseAnother = fault.error == serial::CommError::OpenFailed;
        printLine(fault.text() + (chooseAnother ? QStringLiteral(" (choose the device with --port DEVICE or COMM_PORT1)")
                                                : QString()));
    });
    QObject::connect(relay, &poll::ViewRelay::portFaultCleared, m_line,
                     [comm] { printLine(QStringLiteral("polling %1 again").arg(comm->deviceName())); });

    if (const std::shared_ptr<poll::Recorder> shared = settings.recorder) {
        // Used on the acquisition thread only, from here on.
        auto working = std::make_shared<bool>(true);
        poll::Poller* poller = m_poller;
        QObject::connect(poller, &poll::Poller::replyDecoded, m_line, [=](bool checksumOk) {
            const bool written = shared->record({QDateTime::currentDateTime(), poller->pollCount(),
                                                 poller->errorCount(), checksumOk, poller->channelValues()});
            if (written == *working)
                return;
            *working = written;
            if (!written)
                printLine(QStringLiteral("cannot write to %1: %2").arg(shared->path(), shared->errorString()));
            else
                printLine(QStringLiteral("recording to %1 again").arg(shared->path()));
            relay->showRecordFault(written ? QString() : shared->errorString());
        });
    }

    m_line->moveToThread(&m_thread);
    // Deleted on its own thread once its event loop has ended: the poller
    // stops and the comm control closes the port there.
    QObject::connect(&m_thread, &QThread::finished, m_line, &QObject::deleteLater);
    m_thread.start();
}

Acquisition::~Acquisition()
{
    m_thread.quit();
    m_thread.wait();
}

void Acquisition::setRequest(const QByteArray& request)
{
    post(m_line, [poller = m_poller, request] { poller->setRequest(request); });
}

void Acquisition::start(const QByteArray& request)
{
    post(m_line, [poller = m_poller, request] { poller->start(request); });
}

} // namespace apps
