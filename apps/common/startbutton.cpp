#include "apps/common/startbutton.h"

#include "codec/numberread.h"

namespace apps {

StartButton::StartButton(poll::Framing framing, QObject* parent)
    : QObject(parent), m_framing(framing), m_range(poll::AddressRangeOf(framing))
{
}

void StartButton::click(const QString& typedAddress)
{
    const std::optional<int> address = codec::RoundToWhole(
        codec::ReadNumber(typedAddress.toStdString()), m_range.lowest, m_range.highest);
    if (!address) {
        emit addressNote(
            tr("the address must be %1 to %2").arg(m_range.lowest).arg(m_range.highest));
        return;
    }
    emit addressNote({});
    emit start(poll::BuildRequest(m_framing, *address));
}

} // namespace apps
