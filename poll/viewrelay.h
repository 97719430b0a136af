// Carries what the poller shows to a view on another thread (the window, on
// the GUI thread) as queued signals: the poller never waits for the screen,
// and the view receives every call in the order the poller made them.
#pragma once

#include "poll/pollview.h"

#include <QObject>

namespace poll {

class ViewRelay : public QObject, public PollView
{
    Q_OBJECT

public:
    // `view` is called on the thread of `viewContext`, from its event loop.
    ViewRelay(PollView& view, QObject* viewContext, QObject* parent = nullptr);

    void showPollCount(const QString& text) override { emit pollCount(text); }
    void showErrorCount(const QString& text) override { emit errorCount(text); }
    void showChannel(int index, const QString& text) override { emit channel(index, text); }
    void showRequestText(const QString& text) override { emit requestText(text); }
    void showReplyText(const QString& text) override { emit replyText(text); }
    void showPortFault(const serial::CommFault& fault) override { emit portFault(fault); }
    void clearPortFault() override { emit portFaultCleared(); }
    void showRecordFault(const QString& why) override { emit recordFault(why); }

signals:
    void pollCount(const QString& text);
    void errorCount(const QString& text);
    void channel(int index, const QString& text);
    void requestText(const QString& text);
    void replyText(const QString& text);
    void portFault(const serial::CommFault& fault);
    void portFaultCleared();
    void recordFault(const QString& why);
};

} // namespace poll
