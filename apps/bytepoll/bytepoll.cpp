#include "bytepoll/bytepoll.h"

#include "poll/numberformat.h"
#include "codec/numberread.h"

namespace bytepoll {

BytePoll::BytePoll(poll::Form1& form)
    : QObject(&form)
    , m_form(form)
{
    connect(m_form.Command1(), &QPushButton::clicked, this, &BytePoll::Command1_Click);
}

void BytePoll::Form_Load()
{
    m_form.poller().setInterval(poll::kPollInterval); // not started: nothing is sent before the click
    m_form.Comm1().setCommPort(poll::kCommPort);
    m_form.Comm1().setSettings(poll::kLineSettings); // the port opens on the first tick
    m_request = kFirstRequest;
    m_form.poller().setRequest(m_request);
    m_form.Text1()->setText(poll::FormatPlainInteger(m_request[0]));
    m_form.field(poll::Field::Text2)->clear();
    m_form.field(poll::Field::Text4)->clear();
    for (int i = 0; i < 8; ++i)
        m_form.Text3(i)->clear();
}

void BytePoll::Command1_Click()
{
    const QString typed = m_form.Text1()->text();
    const std::optional<int> address = codec::RoundToWhole(codec::ReadNumber(typed.toStdString()), 0, 255);
    if (!address) {
        // Refused: the request and polling stay as they were.
        m_form.setAddressNote(QStringLiteral("address 0 to 255 only"));
        return;
    }
    m_form.setAddressNote({});

    m_request[0] = static_cast<std::uint8_t>(*address);
    const std::uint16_t crc = rtu::Crc16(m_request, 6);
    m_request[6] = static_cast<std::uint8_t>(crc & 0xFF); // low byte first on the wire
    m_request[7] = static_cast<std::uint8_t>(crc >> 8);
    m_form.poller().setRequest(m_request); // the next tick sends it; counters carry on
    m_form.poller().Start();
}

} // namespace bytepoll
