#include "apps/common/program.h"

#include "acquisition/commandline.h"
#include "acquisition/startup.h"
#include "apps/common/winconsole.h"
#include "serial/linesettings.h"
#include "serial/portlist.h"
#include "translations/translation.h"
#include "ui/trendmenu.h"

#include <QAction>
#include <QApplication>
#include <QTextStream>

namespace apps {

Program::Program(ui::Layout layout, poll::Framing framing,
                 const acquisition::LinkSettings& settings)
    : m_window(layout), m_trend(m_history), m_acquisition(framing, settings)
{
    using acquisition::AcquisitionWorker;
    // Queued: the poller is on the acquisition thread, the window on this one.
    AcquisitionWorker& worker = m_acquisition.worker();
    poll::Poller& poller = worker.poller();
    ui::Form1* window = &m_window;
    m_acquisition.addListener(window);
    QObject::connect(&poller, &poll::Poller::pollSent, window, &ui::Form1::showPollCount);
    QObject::connect(&poller, &poll::Poller::requestTextChanged, window,
                     &ui::Form1::showRequestText);
    QObject::connect(&poller, &poll::Poller::replyTextChanged, window, &ui::Form1::showReplyText);
    QObject::connect(&poller, &poll::Poller::replyDecoded, window, &ui::Form1::showSample);
    QObject::connect(&poller, &poll::Poller::portFault, window, &ui::Form1::showPortFault);
    QObject::connect(&poller, &poll::Poller::portFaultCleared, window, &ui::Form1::clearPortFault);
    QObject::connect(&poller, &poll::Poller::moduleSilent, window, &ui::Form1::showModuleSilent);
    QObject::connect(&poller, &poll::Poller::moduleSilenceEnded, window,
                     &ui::Form1::clearModuleSilent);
    QObject::connect(&worker, &AcquisitionWorker::recordFault, window, &ui::Form1::showRecordFault);
    if (acquisition::PublisherThread* publishing = m_acquisition.publisher()) {
        acquisition::Publisher& publisher = publishing->publisher();
        publishing->addListener(window);
        QObject::connect(&publisher, &acquisition::Publisher::fault, window,
                         [window](const acquisition::PublishFault& fault) {
                             window->showPublishFault(fault.text(poll::Wording::Translated));
                         });
        QObject::connect(&publisher, &acquisition::Publisher::faultCleared, window,
                         [window] { window->showPublishFault({}); });
    }

    // The history keeps a day whether the trend is shown or not, so that
    // opening it later shows what came before; hidden, it costs a copy a
    // second, no drawing. Its gaps are judged by this program's interval.
    m_history.setInterval(settings.pollInterval);
    m_acquisition.addListener(&m_history);
    m_acquisition.addListener(&m_trend);
    QObject::connect(&poller, &poll::Poller::replyDecoded, &m_history,
                     [this](const poll::Sample& sample) { m_history.append(sample); });
    // A silence the trend tells by itself, from the clock; a port fault is
    // its reason, named under the plot until polling reaches the port again.
    QObject::connect(&poller, &poll::Poller::portFault, &m_trend,
                     [this](const poll::LinkFault& fault) { m_trend.setFault(fault.text()); });
    QObject::connect(&poller, &poll::Poller::portFaultCleared, &m_trend,
                     [this] { m_trend.setFault({}); });
    m_trend.setObjectName(QStringLiteral("trend"));
    m_trend.setWindowTitle(QStringLiteral("%1 — trend").arg(QCoreApplication::applicationName()));
    m_trend.setAttribute(Qt::WA_QuitOnClose, false); // closing Form1 still ends the program
    // Save, copy and export; an image names the program and its port:
    // "autopoll on /dev/ttyUSB0 — 2026-12-09 08:00:00 to 08:10:00 +01:00".
    new ui::TrendMenu(m_trend,
                      QStringLiteral("%1 on %2")
                          .arg(QCoreApplication::applicationName(),
                               settings.device.isEmpty() ? serial::PortDeviceName(settings.commPort)
                                                         : settings.device));
    // Reached without changing how the form looks: a shortcut, and a context
    // menu on the form's background; in Chinese, as the form's other texts.
    auto* open = new QAction(QCoreApplication::translate("apps::Program", "Trend…"), &m_window);
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
        const std::function<std::unique_ptr<Program>(const acquisition::LinkSettings&)>& load)
{
    acquisition::PrepareProcess(); // before the record file is opened
    // Windows: --help and errors reach a console or a message box.
    const ConsoleOutput console(name);
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    acquisition::CommandLine options({QString::fromLatin1(name), QString::fromUtf8(description),
                                      acquisition::About::Kind::Window});
    if (const std::optional<int> status = options.parse(arguments))
        return *status;
    if (options.listPorts()) {
        // For the port's notifiers; no window, so no display needed.
        const QCoreApplication app(argc, argv);
        QTextStream(stdout) << serial::FormatPortList(serial::ListPorts());
        return 0;
    }

    // Before the record file is opened: a refusal leaves no new file behind.
    if (const std::optional<QString> why = acquisition::NoDisplay(
            QStringLiteral("to run without one, set QT_QPA_PLATFORM=offscreen"))) {
        QTextStream(stderr) << name << ": " << *why << Qt::endl;
        return 2;
    }
    auto settings = options.linkSettings();
    if (const int* status = std::get_if<int>(&settings))
        return *status;

    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(name));
    if (!translations::Install(app))
        QTextStream(stderr) << name << ": the window's translation is missing: it shows English"
                            << Qt::endl;
    const std::unique_ptr<Program> program = load(std::get<acquisition::LinkSettings>(settings));
    program->window().show();
    if (options.trend())
        program->showTrend();
    return QApplication::exec();
}

} // namespace apps
