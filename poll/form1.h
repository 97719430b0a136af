// The program's one window, Form1: captions, the address field and start
// button where a program has them, the two counters, the eight channel
// fields and, in textpoll, the request and reply texts. It owns the comm
// control and the poller for its whole life.
#pragma once

#include "poll/poller.h"
#include "poll/pollview.h"
#include "serial/commcontrol.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

#include <array>

namespace poll {

enum class Program { BytePoll, AutoPoll, TextPoll };

class Form1 : public QWidget, public PollView
{
    Q_OBJECT

public:
    explicit Form1(Program program, QWidget* parent = nullptr);

    Program program() const { return m_program; }
    serial::CommControl& Comm1() { return *m_comm; }
    Poller& poller() { return *m_poller; }

    // Present in bytepoll and textpoll only; null in autopoll.
    QLineEdit* Text1() const { return m_text1; }
    QPushButton* Command1() const { return m_command1; }

    QLineEdit* field(Field field) const;
    QLineEdit* Text3(int index) const { return m_text3.at(static_cast<std::size_t>(index)); }

    // A note beside the address field saying why a start was refused; an
    // empty text removes it.
    void setAddressNote(const QString& text);
    QString addressNote() const;
    QString portFault() const;

    // Twips (1440 to the inch) to this screen's pixels: 15 twips a pixel at 96 dpi.
    int toPixels(int twips) const;

    // PollView
    void setText(Field field, const QString& text) override;
    void setChannelText(int index, const QString& text) override;
    void showPortFault(const QString& text) override;
    void clearPortFault() override;

protected:
    bool event(QEvent* event) override;

private:
    void buildControls();

    Program m_program;
    serial::CommControl* m_comm;
    Poller* m_poller;
    QLineEdit* m_text1 = nullptr;
    QPushButton* m_command1 = nullptr;
    QLineEdit* m_text2 = nullptr;
    QLineEdit* m_text4 = nullptr;
    QLineEdit* m_text5 = nullptr;
    QLineEdit* m_text6 = nullptr;
    std::array<QLineEdit*, 8> m_text3{};
    QLabel* m_addressNote = nullptr;
    QLabel* m_portFault = nullptr;
    bool m_painted = false;
};

} // namespace poll
