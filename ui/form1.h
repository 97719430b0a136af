// The program's one window, Form1: captions, the address field and start
// button where a program has them, the two counters, the eight channel
// fields and, in textpoll, the request and reply texts. A passive view: it
// shows what it is given and reports the start button's clicks; it knows
// nothing of ports or polling.
#pragma once

#include "codec/protocol.h"
#include "poll/link.h"
#include "poll/sample.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

#include <array>

namespace ui {

// Which program's layout: autopoll has no address field and no start
// button; textpoll also shows the request and reply texts.
enum class Layout
{
    BytePoll,
    AutoPoll,
    TextPoll
};

class Form1 : public QWidget
{
    Q_OBJECT

public:
    explicit Form1(Layout layout, QWidget* parent = nullptr);

    // The address field's text [Text1]; no effect in autopoll.
    void setAddressText(const QString& text);
    // A note beside the start button saying why a start was refused; an
    // empty text removes it.
    void setAddressNote(const QString& text);

    // What is on screen, for the program's tests and for screen readers.
    QString addressNote() const;
    QString portFault() const;
    QString recordFault() const;
    QString silenceNote() const;

    // Twips (1440 to the inch) to this screen's pixels: 15 twips a pixel at 96 dpi.
    int toPixels(int twips) const;

public slots:
    // The poll count, with a blank in front: " 12" [Text4].
    void showPollCount(std::int32_t count);
    void showRequestText(const QString& text); // [Text5], textpoll only
    void showReplyText(const QString& text);   // [Text6], textpoll only
    // A decoded reply: its error count [Text2] and eight values [Text3(0)]
    // to [Text3(7)], in the number formats of the window.
    void showSample(const poll::Sample& sample);
    // The port could not be opened or written, or went away; or polling
    // reaches it again.
    void showPortFault(const poll::LinkFault& fault);
    void clearPortFault();
    // Recording the values failed (`why` says how), or, with an empty text,
    // works again.
    void showRecordFault(const QString& why);
    // The module at `address` has not answered the last polls: the values
    // shown are from `since`, or older. The fields keep them; a note says so.
    void showModuleSilent(int address, const QDateTime& since);
    void clearModuleSilent();

signals:
    // The start button [Command1] was pressed with `address` in the address field.
    void startClicked(const QString& address);

protected:
    bool event(QEvent* event) override;

private:
    void buildControls(Layout layout);
    void showFaults();
    QLineEdit* field(const char* name) const;

    QLineEdit* m_address = nullptr;                               // Text1
    QLineEdit* m_errorCount = nullptr;                            // Text2
    QLineEdit* m_pollCount = nullptr;                             // Text4
    QLineEdit* m_request = nullptr;                               // Text5
    QLineEdit* m_reply = nullptr;                                 // Text6
    std::array<QLineEdit*, protocol::kChannelCount> m_channels{}; // Text3(0) to Text3(7)
    QLabel* m_addressNote = nullptr;
    QLabel* m_faults = nullptr; // the port's fault and the record's, in one strip
    QString m_portFault;
    QString m_portFaultDevice; // as it stands in m_portFault: the first part to give way
    QString m_recordFault;
    QString m_silenceNote;
    bool m_painted = false;
};

} // namespace ui
