#include "apps/common/program.h"

#include "apps/common/commandline.h"
#include "apps/common/startup.h"
#include "apps/common/winconsole.h"
#include "serial/portlist.h"

#include <QAction>
#include <QApplication>
#include <QTextStream>

namespace apps {

Program::Program(ui::Layout layout, poll::Framing framing, const LinkSettings& settings)
    : m_window(layout), m_acquisition(framing, settings)
{
    // Queued: the poller is on the acquisition thread, the window on this one.
    AcquisitionWorker& worker = m_acquisition.worker();
    poll::Poller& poller = worker.poller();
    ui::Form1* window = &m_window;
    m_acquisition.addListener(window);
    QObject::connect(&poller, &poll::Poller::pollSent, window,
                     [window](std::int32_t, const QString& text) { window->showPollCount(text); });
    QObject::connect(&poller, &poll::Poller::requestTextChanged, window,
                     &ui::Form1::showRequestText);
    QObject::connect(&poller, &poll::Poller::replyDecoded, window, &ui::Form1::showReading);
    QObject::connect(&poller, &poll::Poller::portFault, window, &ui::Form1::showPortFault);
    QObject::connect(&poller, &poll::Poller::portFaultCleared, window, &ui::Form1::clearPortFault);
    QObject::connect(&poller, &poll::Poller::moduleSilent, window, &ui::Form1::showModuleSilent);
    QObject::connect(&poller, &poll::Poller::moduleSilenceEnded, window,
                     &ui::Form1::clearModuleSilent);
    QObject::connect(&worker, &AcquisitionWorker::recordFault, window, &ui::Form1::showRecordFault);

    // The trend keeps a day whether shown or not, so that opening it later
    // shows what came before; hidden, it costs a copy a second, no drawing.
    m_acquisition.addListener(&m_trend);
    QObject::connect(&poller, &poll::Poller::replyDecoded, &m_trend, &ui::TrendView::addReading);
    // A silence the trend tells by itself, from the clock; a port fault is
    // its reason, named under the plot until polling reaches the port again.
    QObject::connect(&poller, &poll::Poller::portFault, &m_trend,
                     [this](const serial::CommFault& fault) { m_trend.setFault(fault.text()); });
    QObject::connect(&poller, &poll::Poller::portFaultCleared, &m_trend,
                     [this] { m_trend.setFault({}); });
    m_trend.setObjectName(QStringLiteral("trend"));
    m_trend.setWindowTitle(QStringLiteral("%1 — trend").arg(QCoreApplication::applicationName()));
    m_trend.setAttribute(Qt::WA_QuitOnClose, false); // closing Form1 still ends the program
    // Reached without changing how the form looks: a shortcut, and a context
    // menu on the form's background.
    auto* open = new QAction(QStringLiteral("Trend…"), &m_window);
    open->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    QObject::connect(open, &QAction::triggered, &m_window, [this] { showTrend(); });
    m_window.addAction(open);
    m_window.setContextMenuPolicy(Qt::ActionsContextMenu);
}

void Program::showTrend()
{
    if (!m_trend.isVisible()) {
        m_trend.resize(m_trend.sizeHint());
        const QRect form = m_window.frameGeometry();
        m_trend.move(form.right() + 8, form.top()); // beside the form, not over it
    }
    m_trend.show();
    m_trend.raise();
    m_trend.activateWindow();
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
    const ConsoleOutput console(
        name); // Windows: --help and errors reach a console or a message box
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const auto parsed =
        ParseCommandLine(arguments, {QString::fromLatin1(name), QString::fromUtf8(description)});
    if (const int* status = std::get_if<int>(&parsed))
        return *status;
    const CommandLine& options = std::get<CommandLine>(parsed);
    if (options.listPorts) {
        const QCoreApplication app(
            argc, argv); // for the port's notifiers; no window, so no display needed
        QTextStream(stdout) << serial::FormatPortList(serial::ListPorts());
        return 0;
    }

    // Before the record file is opened: a refusal leaves no new file behind.
    if (const std::optional<QString> why =
            NoDisplay(QStringLiteral("to run without one, set QT_QPA_PLATFORM=offscreen"))) {
        QTextStream(stderr) << name << ": " << *why << Qt::endl;
        return 2;
    }
    if (options.trace && !options.record.isEmpty()) {
        if (const std::optional<QString> why = TraceIntoRecording(options.record)) {
            QTextStream(stderr) << name << ": " << *why << Qt::endl;
            return 2;
        }
    }

    LinkSettings settings;
    settings.device = options.port;
    settings.echo = options.echo;
    settings.trace = options.trace;
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
    if (options.trend)
        program->showTrend();
    return QApplication::exec();
}

} // namespace apps
