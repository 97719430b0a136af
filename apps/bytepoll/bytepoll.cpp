#include "bytepoll/bytepoll.h"

#include "poll/numberformat.h"
#include "poll/poller.h"

namespace bytepoll {

std::unique_ptr<apps::StartButton> MakeStartButton()
{
    return std::make_unique<apps::StartButton>(poll::Framing::Binary);
}

std::unique_ptr<apps::Program> Load(const acquisition::LinkSettings& settings)
{
    auto program =
        std::make_unique<apps::Program>(ui::Layout::BytePoll, poll::Framing::Binary, settings);
    program->acquisition().setRequest(poll::BuildRequest(poll::Framing::Binary, kFirstAddress));
    program->window().setAddressText(poll::FormatPlainInteger(kFirstAddress));
    program->setStartButton(MakeStartButton());
    return program;
}

} // namespace bytepoll
