#include "textpoll/textpoll.h"

#include "codec/ascii.h"
#include "poll/numberformat.h"

namespace textpoll {

std::unique_ptr<apps::StartButton> MakeStartButton()
{
    return std::make_unique<apps::StartButton>(poll::Framing::Text);
}

std::unique_ptr<apps::Program> Load(const acquisition::LinkSettings& settings)
{
    auto program =
        std::make_unique<apps::Program>(ui::Layout::TextPoll, poll::Framing::Text, settings);
    program->window().setAddressText(poll::FormatPlainInteger(protocol::kDefaultAddress));
    program->setStartButton(MakeStartButton());
    return program;
}

} // namespace textpoll
