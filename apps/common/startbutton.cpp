#include "apps/common/startbutton.h"

#include "codec/numberread.h"

namespace apps {

StartButton::StartButton(int lowest, int highest, BuildRequest buildRequest, QObject* parent)
    : QObject(parent), m_lowest(lowest), m_highest(highest), m_buildRequest(buildRequest)
{
}

void StartButton::click(const QString& typedAddress)
{
    const std::optional<int> address =
        codec::RoundToWhole(codec::ReadNumber(typedAddress.toStdString()), m_lowest, m_highest);
    if (!address) {
        emit addressNote(QStringLiteral("地址只能是 %1 到 %2").arg(m_lowest).arg(m_highest));
        return;
    }
    emit addressNote({});
    emit start(m_buildRequest(*address));
}

} // namespace apps
