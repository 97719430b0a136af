// What leaves the trend window, and the commands beside the view's own keys:
// a context menu on the view and shortcuts in its window. The image saved or
// copied carries a title line naming what it shows and when; the values
// copied and the rows exported are in a recording's CSV form, so a
// spreadsheet or polltrend reads them as it reads a file made with --record.
#pragma once

#include "ui/trendview.h"

#include <QObject>
#include <QString>

#include <functional>
#include <optional>
#include <variant>

class QAction;
class QActionGroup;
class QMenu;

namespace ui {

// "day.csv — 2026-12-09 08:00:01 to 08:02:00", in local time; the date
// again at the end when the range crosses midnight. Without a caption, the
// times alone.
QString ImageTitle(const QString& caption, qint64 fromMs, qint64 toMs);

// The format a file named `path` is written in, from its suffix: "png",
// "svg", or another QImageWriter writes ("jpg", "bmp"); or why none, naming
// the suffix. A name without a suffix is a PNG where `bareIsPng` (a device
// such as /dev/stdout has none), else refused.
std::variant<QByteArray, QString> ImageFormatFor(const QString& path, bool bareIsPng = false);

// `view` drawn `size` large in `format` (from ImageFormatFor), with `title`
// as its title line and its text "Title"; or why not.
std::variant<QByteArray, QString> EncodeImage(TrendView& view, QSize size, const QByteArray& format,
                                              const QString& title);

// `bytes` into `path` whole or not at all (QSaveFile); a device or a pipe
// (/dev/stdout), which a rename would replace with a file, is written
// directly. Why not, with the system's reason.
std::optional<QString> WriteWhole(const QString& path, const QByteArray& bytes);

class TrendMenu : public QObject
{
    Q_OBJECT

public:
    enum class Command
    {
        SaveImage,
        CopyImage,
        CopyValues,
        ExportRows,
        BackToLive,
        ShowAll,
        ResetZoom,
        ClearMarkers,
    };
    enum class FileKind
    {
        Image,
        Csv
    };
    // The path to write, or empty when the user cancels; `suggested` is a
    // name in the last folder used.
    using ChooseFile = std::function<QString(FileKind kind, const QString& suggested)>;

    // Attaches to `view`, whose window gets the shortcuts. `caption` names
    // what the view shows in an exported image's title: a file, or a program
    // and its port.
    TrendMenu(TrendView& view, QString caption);

    void setCaption(const QString& caption) { m_caption = caption; }
    // Replaces the file dialog (tests).
    void setFileChooser(ChooseFile choose) { m_choose = std::move(choose); }
    // Replaces the message box that shows a failure (tests).
    void setErrorSink(std::function<void(const QString&)> sink) { m_errorSink = std::move(sink); }
    // The last failure shown, empty after a success.
    QString lastError() const { return m_lastError; }

    QAction* action(Command command) const;
    // The context menu as it would pop up now, owned by the caller.
    QMenu* makeMenu(QWidget* parent = nullptr);

    // The title of an image of the view as it shows now.
    QString title() const;
    // The CSV text copying the values gives: the rows between the markers
    // when both are set, else the row at the marker that is, else the row at
    // `atMs`; empty when there is none.
    QString valuesText(std::optional<qint64> atMs) const;

    // Each false after showing why (lastError()).
    bool saveImage(const QString& path);
    bool exportRows(const QString& path);
    void copyImage();
    bool copyValues(std::optional<qint64> atMs);

private:
    void fail(const QString& text);
    void choose(FileKind kind);
    void showMenu(const QPoint& at);
    void updateActions();
    QSize imageSize() const;

    TrendView& m_view;
    QString m_caption;
    ChooseFile m_choose;
    std::function<void(const QString&)> m_errorSink;
    QString m_lastError;
    QString m_folder; // of the last file written
    // Where the cursor was when the menu opened: the menu covers it after.
    std::optional<qint64> m_menuTime;
    std::array<QAction*, 8> m_actions{};
    QActionGroup* m_axisGroup;
};

} // namespace ui
