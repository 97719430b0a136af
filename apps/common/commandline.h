// The programs' command line, read before any window is made, so that
// --help, --version and a mistyped option work without a display.
#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <variant>

namespace apps {

struct CommandLine
{
    QString port; // --port DEVICE: the device for serial port 1; empty: $COMM_PORT1 or the default
    QString record;         // --record FILE: where the CSV lines go; empty: nothing is recorded
    bool trend = false;     // --trend: the trend window opens beside the form at start
    bool echo = false;      // --echo: each request comes back ahead of its reply
    bool trace = false;     // --trace: one line on standard error per frame
    bool listPorts = false; // --list-ports: print the serial ports and end
};

// What a program says of itself in --help.
struct About
{
    QString name;        // "bytepoll"
    QString description; // what it does, one paragraph
};

// The options that the window programs and pollcli share, worded alike.
struct SharedOptions
{
    QCommandLineOption help;
    QCommandLineOption version;
    QCommandLineOption port;
    QCommandLineOption echo;
    QCommandLineOption trace;
    QCommandLineOption listPorts;
};
SharedOptions MakeSharedOptions();

// Why the command line cannot be used although Qt parsed it: an option that
// names a device or a file given an empty text ("--port ''"), which would
// otherwise silently mean the default. Empty when all is well.
QString EmptyValueError(const QCommandLineParser& parser, const QList<QCommandLineOption>& options);

// What ends every --help: which device serial port 1 is, its line settings,
// and an example command line.
QString PortNote(const QString& example);

// The options, or the exit status when the program is to end at once: 0
// after --help or --version (printed to standard output), 2 after a bad
// command line (the reason and the usage on standard error).
std::variant<CommandLine, int> ParseCommandLine(const QStringList& arguments, const About& about);

} // namespace apps
