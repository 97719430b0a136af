#include "ui/form1.h"

#include "poll/numberformat.h"
#include "poll/poller.h"

#include <QEvent>
#include <QLoggingCategory>

#include <chrono>

#include <algorithm>
#include <vector>

// Start-up time, for the performance report: QT_LOGGING_RULES="poll.timing.*.debug=true".
Q_LOGGING_CATEGORY(lcFormTiming, "poll.timing.form", QtWarningMsg)

namespace ui {
namespace {

enum class Kind
{
    Label,
    Text,
    Button
};

// One control of the form, placed in twips. Tab is the tab index; the focus
// chain follows it.
struct Control
{
    const char* name;
    Kind kind;
    const char* caption;    // label and button text
    const char* accessible; // what a screen reader announces for a text field
    int left, top, width, height, tab;
};

// The captions and the fields' accessible names; the window shows their
// translation. "channel 0-3" and the channels' names are not marked for
// translation: they are English in the window.
constexpr const char* kAddressCaption = QT_TRANSLATE_NOOP("ui::Form1", "Module address:");
constexpr const char* kStartCaption = QT_TRANSLATE_NOOP("ui::Form1", "Start polling");
constexpr const char* kRequestCaption = QT_TRANSLATE_NOOP("ui::Form1", "Request:");
constexpr const char* kReplyCaption = QT_TRANSLATE_NOOP("ui::Form1", "Reply:");
constexpr const char* kPollsCaption = QT_TRANSLATE_NOOP("ui::Form1", "Polls:");
constexpr const char* kErrorsCaption = QT_TRANSLATE_NOOP("ui::Form1", "Errors:");
constexpr const char* kDataCaption = QT_TRANSLATE_NOOP("ui::Form1", "Data:");
constexpr const char* kAddressName = QT_TRANSLATE_NOOP("ui::Form1", "Module address");
constexpr const char* kRequestName = QT_TRANSLATE_NOOP("ui::Form1", "Request");
constexpr const char* kReplyName = QT_TRANSLATE_NOOP("ui::Form1", "Reply");
constexpr const char* kPollsName = QT_TRANSLATE_NOOP("ui::Form1", "Polls");
constexpr const char* kErrorsName = QT_TRANSLATE_NOOP("ui::Form1", "Errors");

constexpr int kFormWidth = 6645;
constexpr int kTextPollHeight = 4710;
constexpr int kBinaryPollHeight = 3765;

// The channel rows: four fields each, under their row's label.
constexpr int kChannelWidth = 1095;
constexpr int kChannelHeight = 270;

void addChannelRow(std::vector<Control>& controls, int first, const std::array<int, 4>& lefts,
                   int top)
{
    static const char* const names[protocol::kChannelCount] = {"Text3(0)", "Text3(1)", "Text3(2)",
                                                               "Text3(3)", "Text3(4)", "Text3(5)",
                                                               "Text3(6)", "Text3(7)"};
    static const char* const accessible[protocol::kChannelCount] = {
        "channel 0", "channel 1", "channel 2", "channel 3",
        "channel 4", "channel 5", "channel 6", "channel 7"};
    for (int i = 0; i < 4; ++i)
        controls.push_back({names[first + i], Kind::Text, "", accessible[first + i],
                            lefts[static_cast<std::size_t>(i)], top, kChannelWidth, kChannelHeight,
                            2 + first + i});
}

std::vector<Control> controlsOf(Layout layout)
{
    std::vector<Control> c;
    switch (layout) {
    case Layout::TextPoll:
        c = {
            {"Label1", Kind::Label, kAddressCaption, "", 960, 240, 975, 255, 17},
            {"Text1", Kind::Text, "", kAddressName, 2040, 120, 855, 375, 16},
            {"Command1", Kind::Button, kStartCaption, "", 3600, 120, 1095, 375, 15},
            {"Label7(0)", Kind::Label, kRequestCaption, "", 360, 720, 975, 255, 18},
            {"Text5", Kind::Text, "", kRequestName, 1440, 720, 2655, 270, 19},
            {"Label7(1)", Kind::Label, kReplyCaption, "", 360, 1200, 975, 255, 20},
            {"Text6", Kind::Text, "", kReplyName, 1440, 1200, 4695, 270, 21},
            {"Label6", Kind::Label, kPollsCaption, "", 360, 1800, 1095, 255, 12},
            {"Text4", Kind::Text, "", kPollsName, 1680, 1680, 1335, 375, 13},
            {"Label3", Kind::Label, kErrorsCaption, "", 3360, 1800, 975, 255, 14},
            {"Text2", Kind::Text, "", kErrorsName, 4440, 1680, 1335, 375, 1},
            {"Label2", Kind::Label, kDataCaption, "", 360, 2400, 975, 255, 0},
            {"Label4", Kind::Label, "channel 0-3", "", 360, 2760, 1815, 255, 10},
            {"Label5", Kind::Label, "channel 4-7", "", 360, 3600, 1815, 255, 11},
        };
        addChannelRow(c, 0, {360, 1920, 3480, 5040}, 3000);
        addChannelRow(c, 4, {360, 1920, 3480, 5040}, 3960);
        break;
    case Layout::BytePoll:
        c = {
            {"Label1", Kind::Label, kAddressCaption, "", 960, 240, 975, 255, 17},
            {"Text1", Kind::Text, "", kAddressName, 2040, 120, 855, 375, 16},
            {"Command1", Kind::Button, kStartCaption, "", 3600, 120, 1095, 375, 15},
            {"Label6", Kind::Label, kPollsCaption, "", 480, 960, 1095, 255, 12},
            {"Text4", Kind::Text, "", kPollsName, 1800, 840, 1335, 375, 13},
            {"Label3", Kind::Label, kErrorsCaption, "", 3480, 960, 975, 255, 14},
            {"Text2", Kind::Text, "", kErrorsName, 4560, 840, 1335, 375, 1},
            {"Label2", Kind::Label, kDataCaption, "", 480, 1560, 975, 255, 0},
            {"Label4", Kind::Label, "channel 0-3", "", 480, 1920, 1815, 255, 10},
            {"Label5", Kind::Label, "channel 4-7", "", 480, 2760, 1815, 255, 11},
        };
        addChannelRow(c, 0, {480, 2040, 3600, 5160}, 2160);
        addChannelRow(c, 4, {480, 2040, 3600, 5160}, 3120);
        break;
    case Layout::AutoPoll:
        // No address field or button: the counter row sits 480 twips higher
        // and everything below it 360 twips higher than in bytepoll.
        c = {
            {"Label6", Kind::Label, kPollsCaption, "", 480, 480, 1095, 255, 12},
            {"Text4", Kind::Text, "", kPollsName, 1800, 360, 1335, 375, 13},
            {"Label3", Kind::Label, kErrorsCaption, "", 3480, 480, 975, 255, 14},
            {"Text2", Kind::Text, "", kErrorsName, 4560, 360, 1335, 375, 1},
            {"Label2", Kind::Label, kDataCaption, "", 480, 1200, 975, 255, 0},
            {"Label4", Kind::Label, "channel 0-3", "", 480, 1560, 1815, 255, 10},
            {"Label5", Kind::Label, "channel 4-7", "", 480, 2400, 1815, 255, 11},
        };
        addChannelRow(c, 0, {480, 2040, 3600, 5160}, 1800);
        addChannelRow(c, 4, {480, 2040, 3600, 5160}, 2760);
        break;
    }
    // Created in tab order, so the focus chain is the tab order.
    std::sort(c.begin(), c.end(), [](const Control& a, const Control& b) { return a.tab < b.tab; });
    return c;
}

} // namespace

Form1::Form1(Layout layout, QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Form1"));
    buildControls(layout);
    resize(toPixels(kFormWidth),
           toPixels(layout == Layout::TextPoll ? kTextPollHeight : kBinaryPollHeight));
    // Text2 is the first control in tab order that takes the focus (tab
    // index 0 is a label), so it has the focus when the window first shows.
    m_errorCount->setFocus();
}

bool Form1::event(QEvent* event)
{
    if (event->type() == QEvent::Paint && !m_painted) {
        m_painted = true;
        qCDebug(lcFormTiming, "first paint at %lld ns (monotonic)",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                           std::chrono::steady_clock::now().time_since_epoch())
                                           .count()));
    }
    return QWidget::event(event);
}

int Form1::toPixels(int twips) const
{
    return qRound(twips * logicalDpiX() / 1440.0);
}

void Form1::buildControls(Layout layout)
{
    QWidget* previous = nullptr;
    for (const Control& control : controlsOf(layout)) {
        QWidget* widget = nullptr;
        const QString caption = tr(control.caption);
        switch (control.kind) {
        case Kind::Label:
            widget = new QLabel(caption, this);
            break;
        case Kind::Button:
            widget = new QPushButton(caption, this);
            break;
        case Kind::Text: {
            auto* edit = new QLineEdit(this);
            edit->setAccessibleName(tr(control.accessible));
            widget = edit;
            break;
        }
        }
        widget->setObjectName(QString::fromLatin1(control.name));
        widget->setGeometry(toPixels(control.left), toPixels(control.top), toPixels(control.width),
                            toPixels(control.height));
        if (widget->focusPolicy() != Qt::NoFocus) {
            if (previous)
                setTabOrder(previous, widget);
            previous = widget;
        }
    }

    m_address = field("Text1");
    m_errorCount = field("Text2");
    m_pollCount = field("Text4");
    m_request = field("Text5");
    m_reply = field("Text6");
    for (std::size_t i = 0; i < m_channels.size(); ++i)
        m_channels[i] = findChild<QLineEdit*>(QStringLiteral("Text3(%1)").arg(i));
    auto* start = findChild<QPushButton*>(QStringLiteral("Command1"));
    if (start)
        connect(start, &QPushButton::clicked, this,
                [this] { emit startClicked(m_address->text()); });

    // Notices live in the free space: beside the start button, and in the
    // strip under the channel rows. Neither takes the focus.
    const QString red = QStringLiteral("color: #c00000;");
    if (start) {
        m_addressNote = new QLabel(this);
        m_addressNote->setObjectName(QStringLiteral("addressNote"));
        m_addressNote->setWordWrap(true);
        m_addressNote->setStyleSheet(red);
        m_addressNote->setGeometry(toPixels(4800), toPixels(60), toPixels(1785), toPixels(495));
        m_addressNote->hide();
    }
    const int left = layout == Layout::TextPoll ? 360 : 480;
    const int bottomOfChannels = m_channels.back()->geometry().bottom() + 1;
    m_faults = new QLabel(this);
    m_faults->setObjectName(QStringLiteral("faults"));
    m_faults->setStyleSheet(red);
    m_faults->setGeometry(toPixels(left), bottomOfChannels + toPixels(60),
                          toPixels(kFormWidth - 2 * left), toPixels(255));
    m_faults->hide();
}

QLineEdit* Form1::field(const char* name) const
{
    return findChild<QLineEdit*>(QLatin1String(name)); // null where the layout has no such field
}

void Form1::setAddressText(const QString& text)
{
    if (m_address)
        m_address->setText(text);
}

void Form1::setAddressNote(const QString& text)
{
    if (!m_addressNote)
        return;
    m_addressNote->setText(text);
    m_addressNote->setVisible(!text.isEmpty());
}

QString Form1::addressNote() const
{
    return m_addressNote && m_addressNote->isVisibleTo(this) ? m_addressNote->text() : QString();
}

QString Form1::portFault() const
{
    return m_portFault;
}

QString Form1::recordFault() const
{
    return m_recordFault;
}

QString Form1::silenceNote() const
{
    return m_silenceNote;
}

namespace {

// Writing a field repaints it even when its text stays the same; most of a
// poll's CPU time would go to repainting unchanged counters and values.
void write(QLineEdit* edit, const QString& text)
{
    if (!edit || edit->text() == text)
        return;
    edit->setText(text);
    edit->setCursorPosition(0); // a reply longer than the field shows its start
}

} // namespace

void Form1::showPollCount(std::int32_t count)
{
    write(m_pollCount, poll::FormatLeadingBlankInteger(count));
}

void Form1::showRequestText(const QString& text)
{
    write(m_request, text);
}

void Form1::showReplyText(const QString& text)
{
    write(m_reply, text);
}

void Form1::showSample(const poll::Sample& sample)
{
    for (std::size_t i = 0; i < m_channels.size(); ++i)
        write(m_channels[i], poll::FormatChannelNumber(sample.values[i]));
    write(m_errorCount, poll::FormatPlainInteger(sample.errors));
}

void Form1::showPortFault(const poll::LinkFault& fault)
{
    m_portFault = fault.text(poll::Wording::Translated) + fault.hint(poll::Wording::Translated);
    m_portFaultDevice = fault.device;
    showFaults();
}

void Form1::clearPortFault()
{
    m_portFault.clear();
    m_portFaultDevice.clear();
    showFaults();
}

void Form1::showRecordFault(const QString& why)
{
    m_recordFault = why.isEmpty() ? QString() : tr("cannot record data: %1").arg(why);
    showFaults();
}

void Form1::showModuleSilent(int address, const QDateTime& since)
{
    m_silenceNote = poll::ModuleSilentText(address, since, poll::Wording::Translated);
    showFaults();
}

void Form1::clearModuleSilent()
{
    m_silenceNote.clear();
    showFaults();
}

void Form1::showFaults()
{
    const auto joined = [this](const QString& portFault) {
        QStringList shown;
        for (const QString& fault : {portFault, m_silenceNote, m_recordFault})
            if (!fault.isEmpty())
                shown << fault;
        return shown.join(tr("; "));
    };
    const QString text = joined(m_portFault);
    // The system's reason is what helps at the bench, so when the strip is
    // too narrow the device path gives way first, down to about 20
    // characters that keep its start and its end (/dev/serial…-port0); then
    // what follows the reason (the hint to choose another port). The whole
    // text is in the tooltip and for screen readers.
    const QFontMetrics metrics = m_faults->fontMetrics();
    const int room = m_faults->width();
    QString shown = text;
    if (metrics.horizontalAdvance(text) > room && !m_portFaultDevice.isEmpty()) {
        // One character's slack: the parts' widths need not add up exactly.
        const int rest = metrics.horizontalAdvance(text) -
                         metrics.horizontalAdvance(m_portFaultDevice) + metrics.averageCharWidth();
        const QString device =
            metrics.elidedText(m_portFaultDevice, Qt::ElideMiddle,
                               std::max(20 * metrics.averageCharWidth(), room - rest));
        shown = joined(QString(m_portFault).replace(m_portFaultDevice, device));
    }
    m_faults->setText(metrics.elidedText(shown, Qt::ElideRight, room));
    m_faults->setToolTip(text);
    m_faults->setAccessibleDescription(text);
    m_faults->setVisible(!text.isEmpty());
}

} // namespace ui
