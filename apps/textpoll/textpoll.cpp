#include "textpoll/textpoll.h"

#include "codec/ascii.h"
#include "codec/numberread.h"
#include "poll/numberformat.h"

namespace textpoll {

TextPoll::TextPoll(poll::Form1& form)
    : QObject(&form)
    , m_form(form)
{
    connect(m_form.Command1(), &QPushButton::clicked, this, &TextPoll::Command1_Click);
}

void TextPoll::Form_Load()
{
    m_address = kFirstAddress;
    m_form.poller().setInterval(poll::kPollInterval); // not started: nothing is sent before the click
    m_form.Comm1().setCommPort(poll::kCommPort);
    m_form.Comm1().setSettings(poll::kLineSettings); // the port opens on the first tick
    m_form.Text1()->setText(poll::FormatPlainInteger(m_address));
    for (poll::Field field : {poll::Field::Text2, poll::Field::Text4, poll::Field::Text5, poll::Field::Text6})
        m_form.field(field)->clear();
    for (int i = 0; i < 8; ++i)
        m_form.Text3(i)->clear();
}

void TextPoll::Command1_Click()
{
    const QString typed = m_form.Text1()->text();
    const std::optional<int> address =
        codec::RoundToWhole(codec::ReadNumber(typed.toStdString()), kLowestAddress, kHighestAddress);
    if (!address) {
        // Refused: the address, the request and polling stay as they were.
        m_form.setAddressNote(QStringLiteral("address %1 to %2 only").arg(kLowestAddress).arg(kHighestAddress));
        return;
    }
    m_form.setAddressNote({});

    m_address = static_cast<std::int16_t>(*address);
    m_request = QByteArray::fromStdString(ascii::BuildRequest(m_address));
    m_form.poller().setRequest(m_request); // the next tick sends it; counters carry on
    m_form.setText(poll::Field::Text5, poll::FormatFrameText(m_request));
    m_form.poller().Start();
}

} // namespace textpoll
