#include "apps/common/program.h"

#include "apps/common/commandline.h"
#include "apps/common/startup.h"
#include "apps/common/winconsole.h"

#include <QApplication>
#include <QTextStream>

namespace apps {

Program::Program(ui::Layout layout, poll::Framing framing, const LinkSettings& settings)
    : m_window(layout)
    , m_acquisition(framing, settings)
{
    // Queued: the poller is on the acquisition thread, the window on this one.
    AcquisitionWorker& worker = m_acquisition.worker();
    poll::Poller& poller = worker.poller();
    ui::Form1* window = &m_window;
    m_acquisition.addListener(window);
    QObject::connect(&poller, &poll::Poller::pollSent, window,
                     [window](std::int32_t, const QString& text) { window->showPollCount(text); });
    QObject::connect(&poller, &poll::Poller::requestTextChanged, window, &ui::Form1::showRequestText);
    QObject::connect(&poller, &poll::Poller::replyDecoded, window, &ui::Form1::showReading);
    QObject::connect(&poller, &poll::Poller::portFault, window, &ui::Form1::showPortFault);
    QObject::connect(&poller, &poll::Poller::portFaultCleared, window, &ui::Form1::clearPortFault);
    QObject::connect(&worker, &AcquisitionWorker::recordFault, window, &ui::Form1::showRecordFault);
}

void Program::setStartButton(std::unique_ptr<StartButton> button)
{
    m_startButton = std::move(button);
    StartButton* start = m_startButton.get();
    QObject::connect(&m_window, &ui::Form1::startClicked, start, &StartButton::click);
    QObject::connect(start, &StartButton::addressNote, &m_window, &ui::Form1::setAddressNote);
    QObject::connect(start, &StartButton::start, start,
                     [this](const QByteArray& request) { m_acquisition.start(request); });
}

int Run(int argc, char* argv[], const char* name, const char* description,
        const std::function<std::unique_ptr<Program>(const LinkSettings&)>& load)
{
    PrepareProcess(); // before the record file is opened
    const ConsoleOutput console(name); // Windows: --help and errors reach a console or a message box
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const auto parsed = ParseCommandLine(arguments, {QString::fromLatin1(name), QString::fromUtf8(description)});
    if (const int* status = std::get_if<int>(&parsed))
        return *status;
    const CommandLine& options = std::get<CommandLine>(parsed);

    LinkSettings settings;
    settings.device = options.port;
    if (!options.record.isEmpty()) {
        auto opened = poll::Recorder::Open(options.record);
        if (const QString* why = std::get_if<QString>(&opened)) {
            QTextStream(stderr) << name << ": " << *why << Qt::endl;
            return 2;
        }
        settings.recorder = std::move(std::get<std::unique_ptr<poll::Recorder>>(opened));
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(name));
    const std::unique_ptr<Program> program = load(settings);
    program->window().show();
    return QApplication::exec();
}

} // namespace apps
