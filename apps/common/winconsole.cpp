#include "apps/common/winconsole.h"

#include <QApplication>
#include <QFile>
#include <QFontDatabase>
#include <QMessageBox>
#include <QTemporaryFile>

#include <cstdint>
#include <cstdio>
#include <utility>

#include <io.h>

#ifndef NOMINMAX
#define NOMINMAX // std::min and std::max, not the macros
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace apps {
namespace {

ConsoleOutput* s_beforeWindow = nullptr; // until its QApplication is made

// A handle the user chose for the stream: a file, a pipe, or the NUL device;
// a console handle is not one, since it works only once attached.
bool redirected(DWORD stream)
{
    const HANDLE handle = GetStdHandle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return false;
    DWORD mode = 0;
    switch (GetFileType(handle)) {
    case FILE_TYPE_DISK:
    case FILE_TYPE_PIPE:
        return true;
    case FILE_TYPE_CHAR:
        return !GetConsoleMode(handle, &mode);
    default:
        return false;
    }
}

// Points `stream`, standard output (descriptor 1) or error (2), at `path`.
bool reopen(FILE* stream, int descriptor, const QString& path)
{
    const auto* name = reinterpret_cast<const wchar_t*>(path.utf16());
    if (_wfreopen(name, L"w", stream) != nullptr)
        return true;
#if defined(__MINGW32__) && !defined(_UCRT)
    // Wine's C runtime gives a stream whose standard handle was missing at
    // start-up the descriptor -2, and will not reopen it (Windows' will): the
    // file is put under the stream's own number instead.
    const HANDLE handle =
        CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const int opened = _open_osfhandle(reinterpret_cast<intptr_t>(handle), 0);
    if (opened < 0) {
        CloseHandle(handle);
        return false;
    }
    const bool moved = _dup2(opened, descriptor) == 0;
    _close(opened);
    if (moved)
        stream->_file = descriptor;
    return moved;
#else
    Q_UNUSED(descriptor);
    return false;
#endif
}

// Points `stream` at a new temporary file, whose text is read when it ends.
std::unique_ptr<QTemporaryFile> collect(FILE* stream, int descriptor)
{
    auto file = std::make_unique<QTemporaryFile>();
    if (!file->open())
        return nullptr; // nowhere to collect: the text is lost, as it was before
    const QString path = file->fileName();
    file->close(); // the C runtime writes it; the object removes it
    if (!reopen(stream, descriptor, path))
        return nullptr;
    return file;
}

// What `stream` collected in `file`; the stream leads nowhere from now on.
QString collected(FILE* stream, int descriptor, std::unique_ptr<QTemporaryFile>& file)
{
    if (!file)
        return {};
    std::fflush(stream);
    reopen(stream, descriptor,
           QStringLiteral("NUL")); // closes the file, so it can be read and removed
    QString text;
    if (file->open())
        text = QString::fromUtf8(file->readAll())
                   .remove(u'\r'); // QTextStream writes UTF-8; "w" adds the CRs
    file.reset();
    return text;
}

} // namespace

ConsoleOutput::ConsoleOutput(const char* title) : m_title(QString::fromLatin1(title))
{
    const bool outputRedirected = redirected(STD_OUTPUT_HANDLE);
    const bool errorRedirected = redirected(STD_ERROR_HANDLE);
    if (outputRedirected && errorRedirected)
        return; // both go where the user sent them
    // Windows starts a window program detached even from cmd; Wine attaches
    // it to cmd's console, and then AttachConsole says ERROR_ACCESS_DENIED.
    if (AttachConsole(ATTACH_PARENT_PROCESS) || GetLastError() == ERROR_ACCESS_DENIED) {
        if (!outputRedirected)
            reopen(stdout, 1, QStringLiteral("CONOUT$"));
        if (!errorRedirected)
            reopen(stderr, 2, QStringLiteral("CONOUT$"));
        // --help carries Chinese captions, and QTextStream writes UTF-8; the
        // console's code page (437, or 936 on a Chinese Windows) is restored
        // once the window opens, since the console is the user's.
        m_consoleCodePage = GetConsoleOutputCP();
        SetConsoleOutputCP(CP_UTF8);
    } else {
        // Started from Explorer: nobody would see the text otherwise.
        if (!outputRedirected)
            m_output = collect(stdout, 1);
        if (!errorRedirected)
            m_error = collect(stderr, 2);
    }
    s_beforeWindow = this;
    qAddPreRoutine(&ConsoleOutput::windowOpens); // called once a QApplication is made
}

ConsoleOutput::~ConsoleOutput()
{
    windowOpens(); // or the program ends without one: the same end of collecting
    if (m_collected.isEmpty())
        return;
    int argc = 1;
    QByteArray name = m_title.toLatin1();
    char* argv[] = {name.data(), nullptr};
    QApplication app(argc, argv);
    // As preformatted text in a fixed-pitch font: --help lines up its options
    // in columns, in lines made for a terminal of 80.
    QMessageBox box(m_collectedError ? QMessageBox::Warning : QMessageBox::Information, m_title,
                    QStringLiteral("<pre>%1</pre>").arg(m_collected.trimmed().toHtmlEscaped()));
    box.setTextFormat(Qt::RichText);
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setFamilies(
        {QStringLiteral("Consolas"), QStringLiteral("Courier New"), QStringLiteral("Courier")});
    box.setFont(fixed);
    box.exec();
}

void ConsoleOutput::windowOpens()
{
    ConsoleOutput* self = std::exchange(s_beforeWindow, nullptr);
    if (self == nullptr)
        return; // already done, or a later QApplication (the message box's)
    if (self->m_consoleCodePage != 0)
        SetConsoleOutputCP(self->m_consoleCodePage);
    const QString error = collected(stderr, 2, self->m_error);
    self->m_collectedError = !error.isEmpty();
    self->m_collected = collected(stdout, 1, self->m_output) + error;
}

} // namespace apps
