// A pseudo-terminal whose far end the test plays: the comm control opens the
// slave device, the test reads and writes the master.
#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>

namespace testing_support {

class PseudoTerminal
{
public:
    PseudoTerminal(); // raw mode, slave held open so the master never sees a hangup
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    QString slaveName() const { return m_slaveName; }

    void write(const QByteArray& bytes);
    // Reads until `count` bytes came or the timeout passed, running the event
    // loop meanwhile; returns what came.
    QByteArray read(qsizetype count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Whether bytes from the slave side arrive within `timeout`, without
    // running the event loop (nothing queued in it can be sent meanwhile).
    bool receivesWithoutEvents(std::chrono::milliseconds timeout) const;
    // Closes both ends: whoever has the slave open sees the device hang up.
    void hangUp();

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slaveName;
};

// CPU seconds this process has used, user and system.
double processCpuSeconds();

} // namespace testing_support
