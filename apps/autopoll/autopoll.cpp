#include "autopoll/autopoll.h"

#include "poll/poller.h"

namespace autopoll {

std::unique_ptr<apps::Program> Load(const acquisition::LinkSettings& settings)
{
    auto program =
        std::make_unique<apps::Program>(ui::Layout::AutoPoll, poll::Framing::Binary, settings);
    program->acquisition().start(poll::BuildRequest(poll::Framing::Binary, kAddress));
    return program;
}

} // namespace autopoll
