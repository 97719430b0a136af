// The programs' command line, read before any window is made, so that
// --help, --version and a mistyped option work without a display. Every
// program that polls takes the same link options, worded alike; each adds
// its own.
#pragma once

#include "acquisition/settings.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace acquisition {

// What a program says of itself in --help, and which shared options it takes.
struct About
{
    enum class Kind
    {
        Window,  // polls, in a window: the link options and --trend
        Console, // polls, without a window: the link options
        Viewer,  // polls nothing: --help and --version only
    };
    QString name;        // "bytepoll"
    QString description; // what it does, one paragraph
    Kind kind = Kind::Window;
    QString example = {}; // an example command line ending the help; a default for pollers
    // Positional arguments, for the usage line and help: "FILE.csv"; none if empty.
    QString arguments = {};
    QString argumentsHelp = {};
};

class CommandLine
{
public:
    explicit CommandLine(About about);

    // A program's own option; add them all before parse().
    void addOption(const QCommandLineOption& option);
    // Options that name a device or a file: an empty value ("--record ''")
    // is a usage error, never the default. --port and --record are so already.
    void refuseEmptyValue(const QCommandLineOption& option);
    // Text after the options in --help: keys, more examples.
    void addHelpText(const QString& text) { m_extraHelp += text; }

    // Parses `arguments` (the program's name first). Nothing if the program
    // goes on; else the status to end with, all said: 0 after --help or
    // --version (on standard output), 2 after a bad command line (the
    // reason and the usage on standard error).
    std::optional<int> parse(const QStringList& arguments);
    // Says `why` as parse() says a bad command line, and returns 2.
    int usageError(const QString& why) const;

    bool isSet(const QCommandLineOption& option) const { return m_parser.isSet(option); }
    QString value(const QCommandLineOption& option) const { return m_parser.value(option); }
    QStringList positionalArguments() const { return m_parser.positionalArguments(); }

    // The shared options' values.
    QString port() const;   // --port DEVICE; empty: $COMM_PORT1 or the default
    QString record() const; // --record FILE; empty: nothing is recorded
    bool trend() const;     // --trend: the trend window beside the form at start
    bool echo() const;      // --echo: each request comes back ahead of its reply
    bool trace() const;     // --trace: one line on standard error per frame
    bool listPorts() const; // --list-ports: print the serial ports and end

    // The link for these options: the device, --echo, --trace and the record
    // file opened; or the status to end with, said on standard error (2:
    // --trace would write into the recording, or the record file cannot be
    // used). Nothing is opened when a refusal comes first.
    std::variant<LinkSettings, int> linkSettings() const;

private:
    QString usage() const;

    About m_about;
    QCommandLineParser m_parser;
    QCommandLineOption m_help, m_version, m_port, m_record, m_trend, m_echo, m_trace, m_listPorts;
    QList<QCommandLineOption> m_refuseEmpty;
    QString m_extraHelp;
};

} // namespace acquisition
