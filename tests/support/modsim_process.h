// The simulated module as a child process serving a pseudo-terminal behind a
// symbolic link of its own.
#pragma once

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

namespace testing_support {

class ModsimProcess
{
public:
    // `link` names the symbolic link the module serves; by default a fresh one
    // whose name is unique, since the serial port's lock file is named after it.
    explicit ModsimProcess(QStringList arguments, QString link = {});
    ~ModsimProcess();

    static QString uniqueLinkPath(const QTemporaryDir& dir);

    // Starts modsim and waits until its link is there; false if it is not.
    bool start();
    void stop();
    // Stops or continues the process (SIGSTOP, SIGCONT): a module that has
    // hung, its line still there. What was sent meanwhile waits on the line.
    void pause(bool paused);

    QString link() const { return m_link; }
    // Lines of --log so far: "<seconds> rx <frame>", "<seconds> tx <frame>", ...
    QStringList logLines() const;
    int logCount(const QString& kind) const; // lines whose second word is `kind`

private:
    QTemporaryDir m_dir;
    QString m_link;
    QString m_logPath;
    QStringList m_arguments;
    QProcess m_process;
};

} // namespace testing_support
