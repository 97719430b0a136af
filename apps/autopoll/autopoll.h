// autopoll: binary framing for the one module at address 68, polling from
// the moment the window opens.
#pragma once

#include "codec/rtu.h"
#include "poll/form1.h"

#include <QObject>

namespace autopoll {

constexpr rtu::Request kRequest = {68, 4, 0, 0, 0, 8, 255, 89};

class AutoPoll : public QObject
{
    Q_OBJECT

public:
    explicit AutoPoll(poll::Form1& form);

    void Form_Load();

private:
    poll::Form1& m_form;
};

} // namespace autopoll
