// What every program does first, before it opens any file: a process that a
// careless shell or a closed pipe started in a strange state still records
// and reports faithfully.
#pragma once

#include <QString>

#include <optional>

namespace acquisition {

// Standard input, output and error are made valid (/dev/null where one was
// closed), so no file opened later takes their numbers and receives Qt's
// warnings; and a write to a pipe whose reader has gone fails with an error
// the program reports instead of killing it.
void PrepareProcess();

// Why --trace cannot be given with `--record recordPath` here: standard
// error is the record file itself (2>values.csv, or 2>&1 with --record -),
// and the trace would be written into the recording. Nothing if it can.
std::optional<QString> TraceIntoRecording(const QString& recordPath);

// Why no window can open, in one line ending in `remedy`, or nothing. Asked
// before the QApplication is built: without a display Qt aborts in its
// constructor, advising to reinstall. On Linux (and the other X11 and Wayland
// systems) there is none when no platform is chosen (QT_QPA_PLATFORM) and
// neither DISPLAY nor WAYLAND_DISPLAY is set; Windows and macOS always have
// their desktop.
std::optional<QString> NoDisplay(const QString& remedy);

} // namespace acquisition
