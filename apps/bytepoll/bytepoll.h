// bytepoll: binary framing, the module address chosen by the operator.
#pragma once

#include "codec/rtu.h"
#include "poll/form1.h"

#include <QObject>

namespace bytepoll {

// The request for address 67, as fixed before any CRC is computed at run time.
constexpr rtu::Request kFirstRequest = {67, 4, 0, 0, 0, 8, 254, 238};

class BytePoll : public QObject
{
    Q_OBJECT

public:
    explicit BytePoll(poll::Form1& form);

    void Form_Load();
    void Command1_Click();

    const rtu::Request& request() const { return m_request; }

private:
    poll::Form1& m_form;
    rtu::Request m_request{};
};

} // namespace bytepoll
