#include "textpoll/textpoll.h"

#include "codec/ascii.h"
#include "poll/numberformat.h"

namespace textpoll {
namespace {

QByteArray requestFor(int address)
{
    return QByteArray::fromStdString(ascii::BuildRequest(static_cast<std::int16_t>(address)));
}

} // namespace

std::unique_ptr<apps::StartButton> MakeStartButton()
{
    return std::make_unique<apps::StartButton>(kLowestAddress, kHighestAddress, &requestFor);
}

std::unique_ptr<apps::Program> Load(const apps::LinkSettings& settings)
{
    auto program =
        std::make_unique<apps::Program>(ui::Layout::TextPoll, poll::Framing::Text, settings);
    program->window().setAddressText(poll::FormatPlainInteger(protocol::kDefaultAddress));
    program->setStartButton(MakeStartButton());
    return program;
}

} // namespace textpoll
