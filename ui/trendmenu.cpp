#include "ui/trendmenu.h"

#include "poll/csvformat.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageWriter>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QSaveFile>
#include <QStandardPaths>

#ifdef POLL_HAVE_SVG
#include <QSvgGenerator>
#endif

namespace ui {
namespace {

// Unbuffered, each write is seen: a full disk first takes what fits (8192 of
// 13,640 bytes) without a word, and only writing the rest brings the
// system's reason.
std::optional<QString> writeAll(QFileDevice& file, const QByteArray& bytes)
{
    for (qint64 done = 0; done < bytes.size();) {
        const qint64 written = file.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0)
            return file.error() != QFileDevice::NoError
                       ? file.errorString()
                       : QStringLiteral("only part of the file could be written");
        done += written;
    }
    return std::nullopt;
}

// "name it .png, .svg or .jpg", of the formats this build writes: the
// Windows build's Qt has neither Qt Svg nor the JPEG plugin.
QString nameItHint()
{
    QStringList suffixes{QStringLiteral(".png")};
#ifdef POLL_HAVE_SVG
    suffixes << QStringLiteral(".svg");
#endif
    if (QImageWriter::supportedImageFormats().contains("jpg"))
        suffixes << QStringLiteral(".jpg");
    const QString last = suffixes.takeLast();
    return QStringLiteral("name it ") + (suffixes.isEmpty() ? last
                                                            : suffixes.join(QStringLiteral(", ")) +
                                                                  QStringLiteral(" or ") + last);
}

} // namespace

QString ImageTitle(const QString& caption, qint64 fromMs, qint64 toMs)
{
    const QDateTime from = QDateTime::fromMSecsSinceEpoch(fromMs);
    const QDateTime to = QDateTime::fromMSecsSinceEpoch(toMs);
    const QString day = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    const QString range =
        QStringLiteral("%1 to %2 %3")
            .arg(from.toString(day),
                 to.toString(from.date() == to.date() ? QStringLiteral("HH:mm:ss") : day),
                 poll::UtcOffsetText(to));
    return caption.isEmpty() ? range : caption + QStringLiteral(" — ") + range;
}

std::variant<QByteArray, QString> ImageFormatFor(const QString& path, bool bareIsPng)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix.isEmpty()) {
        if (bareIsPng)
            return QByteArrayLiteral("png");
        return QStringLiteral("%1 has no suffix to tell the image's format: %2")
            .arg(path, nameItHint());
    }
    if (suffix == u"svg") {
#ifdef POLL_HAVE_SVG
        return QByteArrayLiteral("svg");
#else
        return QStringLiteral("cannot write %1: this build has no SVG writer (Qt Svg was "
                              "missing when it was built); %2")
            .arg(path, nameItHint());
#endif
    }
    if (QImageWriter::supportedImageFormats().contains(suffix.toLatin1()))
        return suffix.toLatin1();
    return QStringLiteral("cannot write %1: .%2 is not an image format this program writes; %3")
        .arg(path, suffix, nameItHint());
}

std::variant<QByteArray, QString> EncodeImage(TrendView& view, QSize size, const QByteArray& format,
                                              const QString& title)
{
    // The title only for this picture: the window keeps its own.
    const QString shown = view.title();
    view.setTitle(title);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QString why;
    if (format == "svg") {
#ifdef POLL_HAVE_SVG
        QSvgGenerator svg;
        svg.setOutputDevice(&buffer);
        svg.setSize(size);
        svg.setViewBox(QRect(QPoint(), size));
        svg.setTitle(title);
        svg.setDescription(view.accessibleDescription());
        QPainter painter(&svg);
        view.render(painter, QRect(QPoint(), size));
        if (!painter.end())
            why = QStringLiteral("the SVG could not be drawn");
#endif
    } else {
        QImage image = view.toImage(size);
        if (image.isNull()) {
            why = QStringLiteral("not enough memory for a %1x%2 image")
                      .arg(size.width())
                      .arg(size.height());
        } else {
            // A PNG keeps it as a text chunk, a JPEG as a comment: the title
            // survives a crop of the picture's top.
            image.setText(QStringLiteral("Title"), title);
            QImageWriter writer(&buffer, format);
            if (!writer.write(image))
                why = writer.errorString();
        }
    }
    view.setTitle(shown);
    if (!why.isEmpty())
        return why;
    return bytes;
}

std::optional<QString> WriteWhole(const QString& path, const QByteArray& bytes)
{
    const QFileInfo target(path);
    if (target.exists() && !target.isFile() && !target.isDir()) {
        QFile device(path);
        if (!device.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return device.errorString();
        return writeAll(device, bytes);
    }
    // Not committed, the temporary file is removed when `file` goes.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return file.errorString();
    if (const std::optional<QString> why = writeAll(file, bytes))
        return why;
    if (!file.commit())
        return file.errorString();
    return std::nullopt;
}

TrendMenu::TrendMenu(TrendView& view, QString caption)
    : QObject(&view), m_view(view), m_caption(std::move(caption)),
      m_folder(QStandardPaths::writableLocation(QStandardPaths::PicturesLocation)),
      m_axisGroup(new QActionGroup(this))
{
    const auto add = [this](Command command, const QString& text, QKeySequence keys, auto slot) {
        auto* action = new QAction(text, this);
        action->setShortcut(keys);
        // In the view's window, whichever widget of it has the focus.
        action->setShortcutContext(Qt::WindowShortcut);
        connect(action, &QAction::triggered, this, slot);
        m_view.addAction(action);
        m_actions[static_cast<std::size_t>(command)] = action;
    };
    add(Command::SaveImage, tr("Save image…"), QKeySequence::Save,
        [this] { choose(FileKind::Image); });
    add(Command::CopyImage, tr("Copy image"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C),
        [this] { copyImage(); });
    add(Command::CopyValues, tr("Copy values"), QKeySequence::Copy,
        [this] { copyValues(m_menuTime ? m_menuTime : m_view.hoverTime()); });
    add(Command::ExportRows, tr("Export rows in view as CSV…"), QKeySequence(Qt::CTRL | Qt::Key_E),
        [this] { choose(FileKind::Csv); });
    // The view's own keys do these; the text after the tab only shows them,
    // a shortcut would take the key from the view.
    add(Command::BackToLive, tr("Back to live\tEnd"), {}, [this] { m_view.followLive(); });
    add(Command::ShowAll, tr("Show all"), {}, [this] { m_view.showAll(); });
    add(Command::ResetZoom, tr("Reset zoom"), {}, [this] { m_view.resetZoom(); });
    add(Command::ClearMarkers, tr("Clear markers\tDelete"), {}, [this] {
        m_view.setMarker(TrendView::Marker::A, std::nullopt);
        m_view.setMarker(TrendView::Marker::B, std::nullopt);
    });
    using Axis = TrendView::ValueAxis;
    for (const auto& [axis, text] :
         {std::pair{Axis::Shared, tr("One axis")},
          std::pair{Axis::Normalised, tr("Each channel on its own scale")},
          std::pair{Axis::Stacked, tr("Stacked lanes")}}) {
        QAction* action = m_axisGroup->addAction(text);
        action->setCheckable(true);
        action->setData(static_cast<int>(axis));
        connect(action, &QAction::triggered, this, [this, axis] { m_view.setValueAxis(axis); });
    }
    m_view.setContextMenuPolicy(Qt::CustomContextMenu);
    connect(&m_view, &QWidget::customContextMenuRequested, this, &TrendMenu::showMenu);
}

QAction* TrendMenu::action(Command command) const
{
    return m_actions[static_cast<std::size_t>(command)];
}

QString TrendMenu::title() const
{
    const auto [from, to] = m_view.timeWindow();
    return ImageTitle(m_caption, from, to);
}

void TrendMenu::updateActions()
{
    using Marker = TrendView::Marker;
    const bool a = m_view.marker(Marker::A).has_value();
    const bool b = m_view.marker(Marker::B).has_value();
    QAction* copy = action(Command::CopyValues);
    copy->setText(a && b       ? tr("Copy values between the markers")
                  : a || b     ? tr("Copy values at the marker")
                  : m_menuTime ? tr("Copy values at the cursor")
                               : tr("Copy values"));
    copy->setEnabled(!m_view.history().isEmpty() && (a || b || m_menuTime));
    action(Command::BackToLive)->setEnabled(!m_view.isLive());
    action(Command::ClearMarkers)->setEnabled(a || b);
    for (QAction* axis : m_axisGroup->actions())
        axis->setChecked(axis->data().toInt() == static_cast<int>(m_view.valueAxis()));
}

QMenu* TrendMenu::makeMenu(QWidget* parent)
{
    updateActions();
    auto* menu = new QMenu(parent);
    for (Command command :
         {Command::SaveImage, Command::CopyImage, Command::CopyValues, Command::ExportRows})
        menu->addAction(action(command));
    menu->addSeparator();
    for (Command command :
         {Command::BackToLive, Command::ShowAll, Command::ResetZoom, Command::ClearMarkers})
        menu->addAction(action(command));
    menu->addSeparator();
    menu->addActions(m_axisGroup->actions());
    return menu;
}

void TrendMenu::showMenu(const QPoint& at)
{
    m_menuTime = m_view.hoverTime();
    QMenu* menu = makeMenu(&m_view);
    // Deleted later, after the action chosen has run with m_menuTime.
    connect(menu, &QMenu::aboutToHide, menu, &QObject::deleteLater);
    connect(menu, &QObject::destroyed, this, [this] { m_menuTime.reset(); });
    menu->popup(m_view.mapToGlobal(at));
}

QString TrendMenu::valuesText(std::optional<qint64> atMs) const
{
    using Marker = TrendView::Marker;
    const poll::History& history = m_view.history();
    const std::optional<qint64> a = m_view.marker(Marker::A);
    const std::optional<qint64> b = m_view.marker(Marker::B);
    QByteArray text = poll::CsvHeader();
    if (a && b) {
        const qint64 to = std::max(*a, *b);
        const qsizetype first = history.lowerBound(std::min(*a, *b));
        for (qsizetype i = first; i < history.size() && history.at(i).timeMs <= to; ++i)
            text += poll::CsvLine(history.at(i));
    } else if (const std::optional<qint64> at = a ? a : b ? b : atMs) {
        if (const std::optional<poll::Sample> sample = m_view.sampleAt(*at))
            text += poll::CsvLine(*sample);
    }
    if (text.size() == poll::CsvHeader().size())
        return {}; // no row
    return QString::fromUtf8(text);
}

QSize TrendMenu::imageSize() const
{
    // As big as the window shows it; a view never shown has no size yet.
    return m_view.isVisible() ? m_view.size() : m_view.sizeHint();
}

bool TrendMenu::saveImage(const QString& path)
{
    const auto format = ImageFormatFor(path);
    if (const QString* why = std::get_if<QString>(&format)) {
        fail(*why);
        return false;
    }
    const auto bytes = EncodeImage(m_view, imageSize(), std::get<QByteArray>(format), title());
    if (const QString* why = std::get_if<QString>(&bytes)) {
        fail(tr("cannot draw the image for %1: %2").arg(path, *why));
        return false;
    }
    if (const std::optional<QString> why = WriteWhole(path, std::get<QByteArray>(bytes))) {
        fail(tr("cannot write the image to %1: %2").arg(path, *why));
        return false;
    }
    m_lastError.clear();
    return true;
}

bool TrendMenu::exportRows(const QString& path)
{
    const auto [from, to] = m_view.timeWindow();
    const poll::History& history = m_view.history();
    QByteArray csv = poll::CsvHeader();
    for (qsizetype i = history.lowerBound(from); i < history.size() && history.at(i).timeMs <= to;
         ++i)
        csv += poll::CsvLine(history.at(i));
    if (csv.size() == poll::CsvHeader().size()) {
        fail(tr("no rows in view to export"));
        return false;
    }
    if (const std::optional<QString> why = WriteWhole(path, csv)) {
        fail(tr("cannot write the rows to %1: %2").arg(path, *why));
        return false;
    }
    m_lastError.clear();
    return true;
}

void TrendMenu::copyImage()
{
    const QString shown = m_view.title();
    m_view.setTitle(title());
    QImage image = m_view.toImage(imageSize());
    m_view.setTitle(shown);
    image.setText(QStringLiteral("Title"), title());
    QGuiApplication::clipboard()->setImage(image);
}

bool TrendMenu::copyValues(std::optional<qint64> atMs)
{
    const QString text = valuesText(atMs);
    if (text.isEmpty()) {
        fail(tr("no values to copy: set a marker (A) or point at the plot"));
        return false;
    }
    // As text for an editor, and as CSV for a spreadsheet that asks for it.
    auto* data = new QMimeData;
    data->setText(text);
    data->setData(QStringLiteral("text/csv"), text.toUtf8());
    QGuiApplication::clipboard()->setMimeData(data);
    m_lastError.clear();
    return true;
}

void TrendMenu::choose(FileKind kind)
{
    const auto [from, to] = m_view.timeWindow();
    const QString name =
        QStringLiteral("trend-%1.%2")
            .arg(QDateTime::fromMSecsSinceEpoch(to).toString(QStringLiteral("yyyyMMdd-HHmmss")),
                 kind == FileKind::Image ? QStringLiteral("png") : QStringLiteral("csv"));
    const QString suggested = QDir(m_folder).filePath(name);
    QString path;
    if (m_choose) {
        path = m_choose(kind, suggested);
    } else {
        QFileDialog dialog(m_view.window(),
                           kind == FileKind::Image ? tr("Save image") : tr("Export rows"));
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setNameFilters(kind == FileKind::Image
                                  ? QStringList{tr("PNG image (*.png)"), tr("SVG drawing (*.svg)"),
                                                tr("JPEG image (*.jpg *.jpeg)")}
                                  : QStringList{tr("CSV recording (*.csv)")});
        // A name typed without a suffix gets the chosen filter's.
        dialog.setDefaultSuffix(kind == FileKind::Image ? QStringLiteral("png")
                                                        : QStringLiteral("csv"));
        if (kind == FileKind::Image)
            connect(&dialog, &QFileDialog::filterSelected, &dialog,
                    [&dialog](const QString& filter) {
                        dialog.setDefaultSuffix(filter.contains(u"svg")   ? QStringLiteral("svg")
                                                : filter.contains(u"jpg") ? QStringLiteral("jpg")
                                                                          : QStringLiteral("png"));
                    });
        dialog.selectFile(suggested);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            path = dialog.selectedFiles().constFirst();
    }
    if (path.isEmpty())
        return; // cancelled
    if (kind == FileKind::Image ? saveImage(path) : exportRows(path))
        m_folder = QFileInfo(path).absolutePath();
}

void TrendMenu::fail(const QString& text)
{
    m_lastError = text;
    if (m_errorSink)
        m_errorSink(text);
    else
        QMessageBox::warning(m_view.window(), m_view.window()->windowTitle(), text);
}

} // namespace ui
