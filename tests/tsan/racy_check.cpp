// A data race on purpose, for scripts/tsan.sh: ThreadSanitizer must report
// it, with the suppressions the thread tests run under, or the script
// fails. It keeps a suppression file from blinding the tests unnoticed.
//
// The shape is the one the programs must never have: a worker on its own
// QThread counts its timer's ticks in a plain member, and the main thread
// reads that member straight from the object, not through a queued signal.
// Neither access passes through a frame the suppressions name.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <cstdio>

namespace {

class Counter : public QObject
{
public:
    Counter() : m_timer(this) {}
    void startCounting()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] { ++ticks; });
        m_timer.start(1);
    }

    int ticks = 0; // written on the worker's thread, read on the main one

private:
    QTimer m_timer;
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QThread thread;
    auto* counter = new Counter;
    counter->moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, counter, &Counter::startCounting);
    QObject::connect(&thread, &QThread::finished, counter, &QObject::deleteLater);
    thread.start();

    // Polled from the main thread's own timer: a few ticks seen, or a bound
    // for a worker that never ticked.
    const QDeadlineTimer deadline(std::chrono::seconds(10));
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &app, [&] {
        if (counter->ticks >= 3 || deadline.hasExpired())
            QCoreApplication::quit();
    });
    watch.start(1);
    QCoreApplication::exec();
    thread.quit();
    thread.wait();
    if (deadline.hasExpired()) {
        std::fputs("racy_check: the worker never ticked, so there was no race to report\n", stderr);
        return 1;
    }
    return 0;
}
