// What the modsim tests share: bytes from hex and text, the sample register
// values with the module's frames for them, and the real binary serving a
// pseudo-terminal with a client on the other end. Plain C++ and POSIX.
#pragma once

#include "frames.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace modsim::test {

using Bytes = std::vector<std::uint8_t>;

Bytes FromHex(std::string_view hex); // "43 04 00 ..."
Bytes FromText(std::string_view text);

// The edges of a signed 16-bit register, and what module 67 answers with them
// to a request for all eight (pymodbus 3.0). The corrupt replies carry the
// inverted CRC low byte (23 -> DC) or inverted LRC (D7 -> 28).
constexpr Registers kSampleValues{0, 1, -1, 32767, -32768, 100, -100, 1234};
constexpr char kSampleValuesArg[] = "0,1,-1,32767,-32768,100,-100,1234";
inline const Bytes kRequest67 = FromHex("43 04 00 00 00 08 FE EE");
inline const Bytes kReply67 =
    FromHex("43 04 10 00 00 00 01 FF FF 7F FF 80 00 00 64 FF 9C 04 D2 23 38");
inline const Bytes kCorruptReply67 =
    FromHex("43 04 10 00 00 00 01 FF FF 7F FF 80 00 00 64 FF 9C 04 D2 DC 38");
constexpr char kAsciiRequest67[] = ":430400000008B1\r\n";
constexpr char kAsciiReply67[] = ":43041000000001FFFF7FFF80000064FF9C04D2D7\r\n";
constexpr char kAsciiCorruptReply67[] = ":43041000000001FFFF7FFF80000064FF9C04D228\r\n";

// Polls `done` until it holds or `limit` passes; true if it held.
bool WaitFor(const std::function<bool()>& done,
             std::chrono::milliseconds limit = std::chrono::seconds(5));
bool Exists(const std::string& path); // without following a symbolic link
std::string ReadFile(const std::string& path);

// The modsim binary serving a pty behind `link`, logging to `log`, its
// standard output in `out`, all in a temporary folder of its own.
class ModsimProcess
{
public:
    explicit ModsimProcess(std::vector<std::string> extraArguments);
    ~ModsimProcess(); // kills it if still running, removes the folder
    ModsimProcess(const ModsimProcess&) = delete;
    ModsimProcess& operator=(const ModsimProcess&) = delete;

    bool ready()
    {
        return m_spawned && WaitFor([&] { return Exists(link); });
    }
    int stop(); // SIGTERM; the exit status, or -1 if it did not exit in time
    pid_t pid() const { return m_pid; }

    std::string link, log, out;

private:
    std::string m_dir;
    pid_t m_pid = -1;
    bool m_spawned = false;
    bool m_reaped = false;
};

// A client's open port, raw like a poller's.
class Client
{
public:
    explicit Client(const std::string& path);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    bool send(const Bytes& bytes);
    // One read of at most `most` bytes, once any arrived within `limit`.
    Bytes receiveSome(std::size_t most, std::chrono::milliseconds limit = std::chrono::seconds(3));
    // Reads until `count` bytes arrived or `limit` passed.
    Bytes receive(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(3));

private:
    int m_fd;
};

} // namespace modsim::test
