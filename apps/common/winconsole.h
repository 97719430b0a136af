// Where a window program's text output goes on Windows. Built for the GUI
// subsystem, the programs get no console of their own, so their standard
// output and error lead nowhere. Started from cmd or PowerShell, they write
// to that console; with output redirected, to the file or pipe; started from
// Explorer, with neither, what they print before their window opens (--help,
// --version, a usage error, a record file refused) is shown in a message box
// as they end. The exit status is never changed. Elsewhere it does nothing.
#pragma once

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <QString>

#include <memory>

class QTemporaryFile;
#endif

namespace apps {

#ifdef Q_OS_WIN

class ConsoleOutput
{
public:
    // Attaches to the console of the process that started this one, or
    // collects standard output and error until a QApplication is made.
    // `title` is the message box's title: the program's name.
    explicit ConsoleOutput(const char* title);
    // Shows what was collected, if anything: the program ends before its
    // window opened.
    ~ConsoleOutput();

    ConsoleOutput(const ConsoleOutput&) = delete;
    ConsoleOutput& operator=(const ConsoleOutput&) = delete;

private:
    // Ends collecting and gives the console back its code page: called from
    // the QApplication's constructor, or from the destructor without one.
    static void windowOpens();

    QString m_title;
    std::unique_ptr<QTemporaryFile> m_output; // standard output while collected
    std::unique_ptr<QTemporaryFile> m_error;  // standard error while collected
    QString m_collected;
    bool m_collectedError = false;
    unsigned m_consoleCodePage = 0; // the console's own, restored as it was; 0: none attached
};

#else

// A program started from a terminal has its standard output and error.
class ConsoleOutput
{
public:
    explicit ConsoleOutput(const char*) {}
};

#endif

} // namespace apps
