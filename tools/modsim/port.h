// The module's end of the line: a fresh pseudo-terminal published under a
// symlink, or an existing serial device. POSIX only.
#pragma once

#include <string>

namespace modsim {

class Port
{
public:
    // With a non-empty `link` the port is a pty reached through that path;
    // otherwise `device` is opened.
    Port(std::string link, std::string device);
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    // Opens the port (and publishes the link). On failure returns false and
    // fills `error`; nothing is left open.
    bool open(std::string& error);

    // Removes the link, then closes every descriptor: a client holding the
    // pty open sees a hangup, and opening the link fails until open().
    void close();

    bool isOpen() const { return m_fd >= 0; }
    // Non-blocking descriptor to read requests from and write replies to.
    int fd() const { return m_fd; }
    // What the client last set the line to, as "9600,N,8,1" ("other" for
    // a speed outside the usual ones): a pty carries no bits, but keeps
    // the settings a client made, so a test can see them arrive.
    std::string lineSettings() const;
    // Human-readable "<device> as <link>" or "<device>".
    std::string describe() const;

    // Whether everything written has been taken: by the client's reads (pty)
    // or by the UART (device).
    bool drained() const;

private:
    bool openPty(std::string& error);
    bool openDevice(std::string& error);
    bool publishLink(std::string& error);
    void removeLink();

    std::string m_link;
    std::string m_device;
    std::string m_slaveName; // pty slave device, e.g. /dev/pts/4
    int m_fd = -1;           // pty master or the device
    // Kept open by the module itself, so that a client closing its end never
    // leaves the master at end-of-file (poll would report POLLHUP forever).
    int m_slaveFd = -1;
};

} // namespace modsim
