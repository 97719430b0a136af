#include "autopoll/autopoll.h"

namespace autopoll {

std::unique_ptr<apps::Program> Load(const apps::LinkSettings& settings)
{
    auto program = std::make_unique<apps::Program>(ui::Layout::AutoPoll, poll::Framing::Binary, settings);
    program->acquisition().start(
        QByteArray(reinterpret_cast<const char*>(kRequest.data()), static_cast<qsizetype>(kRequest.size())));
    return program;
}

} // namespace autopoll
