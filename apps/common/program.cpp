#include "apps/common/program.h"

#include <QApplication>

namespace apps {

Program::Program(ui::Layout layout, poll::Framing framing, const LinkSettings& settings)
    : m_window(layout)
    , m_acquisition(framing, settings, m_window, &m_window)
{
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

int Run(int argc, char* argv[], const char* name,
        const std::function<std::unique_ptr<Program>(const LinkSettings&)>& load)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(name));
    const std::unique_ptr<Program> program = load(LinkSettings{});
    program->window().show();
    return QApplication::exec();
}

} // namespace apps
