// A program as its main() builds it, pointed at a device through
// $COMM_PORT1 and polling faster than once a second; the window is driven by
// its controls' names, as a technician or a screen reader sees them.
#pragma once

#include "apps/common/program.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <chrono>

namespace testing_support {

class RunningProgram
{
public:
    using Load = std::unique_ptr<apps::Program> (*)(const acquisition::LinkSettings&);

    RunningProgram(Load load, const QString& device,
                   std::chrono::milliseconds interval = std::chrono::milliseconds(150),
                   std::shared_ptr<acquisition::Recorder> recorder = nullptr, bool echo = false)
    {
        qputenv("COMM_PORT1", device.toLocal8Bit());
        acquisition::LinkSettings settings;
        settings.pollInterval = interval;
        settings.echo = echo;
        settings.recorder = std::move(recorder);
        m_program = load(settings);
    }
    ~RunningProgram()
    {
        m_program.reset(); // the port is closed before the device is forgotten
        qunsetenv("COMM_PORT1");
    }

    ui::Form1& window() { return m_program->window(); }
    apps::Program& program() { return *m_program; }
    QString text(const QString& control) { return window().findChild<QLineEdit*>(control)->text(); }
    QStringList channels()
    {
        QStringList texts;
        for (int i = 0; i < 8; ++i)
            texts << text(QStringLiteral("Text3(%1)").arg(i));
        return texts;
    }
    // Types `address` into the address field (whatever was there goes) and
    // presses the start button.
    void start(const QString& address)
    {
        auto* field = window().findChild<QLineEdit*>(QStringLiteral("Text1"));
        field->clear();
        QTest::keyClicks(field, address);
        press();
    }
    void press()
    {
        QTest::mouseClick(window().findChild<QPushButton*>(QStringLiteral("Command1")),
                          Qt::LeftButton);
    }

private:
    std::unique_ptr<apps::Program> m_program;
};

} // namespace testing_support
