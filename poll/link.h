// What the poller needs of the line to the module: a link it is written
// against, whatever carries the bytes (a serial port, a serial device server
// on the network). The poller takes its link from outside and never makes one.
#pragma once

#include "poll/wording.h"

#include <QByteArray>
#include <QMetaType>
#include <QObject>
#include <QString>

namespace poll {

enum class LinkError
{
    None,
    BadSettings,   // line settings refused; the old settings stay
    OpenFailed,    // missing device, busy, no permission, no connection
    PortLost,      // read or resource error on an open link: it was closed
    WriteFailed,   // the request could not be written
    NotOpen,       // an exchange on a closed link
    OutBufferFull, // a request would pass the transmit buffer's size
};

// What went wrong with the link, in parts, worded from one source text:
// in English on standard error, translated in the window.
struct LinkFault
{
    LinkError error = LinkError::None;
    QString device; // full path or address: /dev/ttyUSB0, COM7
    QString reason; // the system's own words

    // "cannot open /dev/ttyUSB0: No such file or directory". In English a
    // fault of another kind (settings refused, a full transmit buffer) is
    // the reason alone, as standard error has always given it; translated,
    // the device comes first ("/dev/ttyUSB0：..."), since the window names
    // it nowhere else.
    QString text(Wording wording = Wording::English) const;
    // What to do about it, to follow text() where the reader can act on it
    // (standard error, the window; not the trend): " (choose the device
    // with --port DEVICE or COMM_PORT1)" where a device failed to open,
    // else empty (a server on the network included).
    QString hint(Wording wording = Wording::English) const;
    friend bool operator==(const LinkFault&, const LinkFault&) = default;
};

class Link : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual bool isOpen() const = 0;
    // Opens the link if it is closed; false, with errorOccurred, if it
    // cannot be. An open link is left as it is.
    virtual bool open() = 0;
    // Drops whatever the last exchange could not send.
    virtual void clearOutput() = 0;

    // One poll: drops everything received so far (a late or partial reply
    // to an earlier request included), arms replyReady for the next
    // `replyLength` bytes, and sends `request`, in this order. A reply can
    // come back as fast as the line allows, even before this returns (a
    // network link, a fake): dropping or arming after the send would lose
    // it. False, with errorOccurred, if the request could not be sent.
    virtual bool exchange(const QByteArray& request, int replyLength) = 0;

    // Returns and removes everything received, one byte a character.
    virtual QByteArray takeAll() = 0;

signals:
    // The bytes armed by the last exchange have arrived; not again until
    // the next exchange. Emitted from the event loop, or from inside
    // exchange() itself where the reply is already there.
    void replyReady();
    // The link could not be opened or written, or went away.
    void errorOccurred(const poll::LinkFault& fault);
};

} // namespace poll

Q_DECLARE_METATYPE(poll::LinkFault)
