#include "bytepoll/bytepoll.h"

#include "poll/numberformat.h"
#include "poll/poller.h"

namespace bytepoll {
namespace {

QByteArray requestFor(int address)
{
    return poll::toByteArray(rtu::BuildRequest(static_cast<std::uint8_t>(address)));
}

} // namespace

std::unique_ptr<apps::StartButton> MakeStartButton()
{
    return std::make_unique<apps::StartButton>(0, 255, &requestFor);
}

std::unique_ptr<apps::Program> Load(const apps::LinkSettings& settings)
{
    auto program =
        std::make_unique<apps::Program>(ui::Layout::BytePoll, poll::Framing::Binary, settings);
    program->acquisition().setRequest(poll::toByteArray(kFirstRequest));
    program->window().setAddressText(poll::FormatPlainInteger(kFirstRequest[0]));
    program->setStartButton(MakeStartButton());
    return program;
}

} // namespace bytepoll
