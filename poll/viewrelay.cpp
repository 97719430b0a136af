#include "poll/viewrelay.h"

namespace poll {

ViewRelay::ViewRelay(PollView& view, QObject* viewContext, QObject* parent)
    : QObject(parent)
{
    // Queued even when both live on one thread, so the order of calls never
    // depends on where the relay runs.
    const auto queued = Qt::QueuedConnection;
    PollView* target = &view;
    connect(this, &ViewRelay::pollCount, viewContext, [target](const QString& t) { target->showPollCount(t); }, queued);
    connect(this, &ViewRelay::errorCount, viewContext, [target](const QString& t) { target->showErrorCount(t); }, queued);
    connect(this, &ViewRelay::channel, viewContext,
            [target](int index, const QString& t) { target->showChannel(index, t); }, queued);
    connect(this, &ViewRelay::requestText, viewContext, [target](const QString& t) { target->showRequestText(t); },
            queued);
    connect(this, &ViewRelay::replyText, viewContext, [target](const QString& t) { target->showReplyText(t); }, queued);
    connect(this, &ViewRelay::portFault, viewContext,
            [target](const serial::CommFault& fault) { target->showPortFault(fault); }, queued);
    connect(this, &ViewRelay::portFaultCleared, viewContext, [target] { target->clearPortFault(); }, queued);
    connect(this, &ViewRelay::recordFault, viewContext, [target](const QString& t) { target->showRecordFault(t); },
            queued);
}

} // namespace poll
