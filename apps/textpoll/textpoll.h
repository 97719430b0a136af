// textpoll: Modbus ASCII framing, the module address chosen by the operator,
// with the request and reply texts on screen.
#pragma once

#include "poll/form1.h"

#include <QObject>

#include <cstdint>

namespace textpoll {

constexpr std::int16_t kFirstAddress = 67;
// The LRC is taken of the address plus 12, which must fit 16 bits as well.
constexpr int kLowestAddress = -32768;
constexpr int kHighestAddress = 32767 - 12;

class TextPoll : public QObject
{
    Q_OBJECT

public:
    explicit TextPoll(poll::Form1& form);

    void Form_Load();
    void Command1_Click();

    std::int16_t address() const { return m_address; }
    const QByteArray& request() const { return m_request; }

private:
    poll::Form1& m_form;
    std::int16_t m_address = kFirstAddress;
    QByteArray m_request;
};

} // namespace textpoll
