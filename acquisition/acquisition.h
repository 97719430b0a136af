// The link and the poller on an acquisition thread of their own, so
// that a window stalled in a repaint (a slow remote display, a window being
// dragged) never delays a request. Whoever shows or keeps what the poller
// tells connects to the worker's poller: across the thread the connections
// are queued, and each listener gets its own copy of every value.
#pragma once

#include "acquisition/settings.h"
#include "poll/poller.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QThread>

#include <memory>

namespace acquisition {

// Lives on the acquisition thread once started; built on the starting thread.
class AcquisitionWorker : public QObject
{
    Q_OBJECT

public:
    // With `tellStandardError`, a port fault goes to standard error once, as
    // "<program>: <fault>", and so does a failed or resumed recording.
    AcquisitionWorker(poll::Framing framing, const LinkSettings& settings, bool tellStandardError);

    // For connecting only: it lives on the acquisition thread.
    poll::Poller& poller() { return m_poller; }

public slots:
    void setRequest(const QByteArray& request) { m_poller.setRequest(request); }
    void start(const QByteArray& request) { m_poller.start(request); }

signals:
    // Recording the values failed (`why` says how), or, with an empty text,
    // works again. Told once per change.
    void recordFault(const QString& why);

private:
    void record(const poll::Sample& sample);

    QString m_device;                                  // the --port text, or its default
    poll::Link* m_link;                                // a child: serial or TCP
    poll::Poller m_poller;                             // polls m_link
    std::shared_ptr<acquisition::Recorder> m_recorder; // used on the acquisition thread only
    bool m_recording = true;                           // the last write went through
    bool m_tellStandardError;
    QElapsedTimer m_traceClock; // monotonic, from the worker's start
};

// The controller, on the thread that builds it: starts the thread, hands it
// requests, and ends it.
class Acquisition : public QObject
{
    Q_OBJECT

public:
    Acquisition(poll::Framing framing, const LinkSettings& settings, bool tellStandardError = true);
    // Ends the thread; the worker is deleted on it, which stops the poller
    // and closes the port there. Nothing the worker sent afterwards is queued.
    ~Acquisition() override;

    // For connecting to its signals only.
    AcquisitionWorker& worker() { return *m_worker; }
    // `listener` takes the worker's signals on its own thread. What is queued
    // for it when this ends is dropped with the thread, so none of its slots
    // runs for a poll that is over.
    void addListener(QObject* listener) { m_listeners.append(listener); }

    // Both return at once; the poller takes them in the order given.
    void setRequest(const QByteArray& request) { emit requestSet(request); }
    void start(const QByteArray& request) { emit startAsked(request); }

    // With --publish, the publisher and its thread, for connecting to its
    // signals; null without.
    PublisherThread* publisher() { return m_publisher.get(); }
    // Ends the poll, then gives the publisher `within` to send what it
    // holds; true if every reading went out and was taken (or nothing is
    // published). Called once, as the program ends.
    bool finishPublishing(std::chrono::milliseconds within);

signals:
    void requestSet(const QByteArray& request);
    void startAsked(const QByteArray& request);

private:
    void stop();

    std::unique_ptr<PublisherThread> m_publisher; // ends after the poll, so it hears all
    QThread m_thread;
    AcquisitionWorker* m_worker; // on m_thread; deleted there when it finishes
    QList<QPointer<QObject>> m_listeners;
};

} // namespace acquisition
