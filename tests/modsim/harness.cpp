#include "harness.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace modsim::test {

using Clock = std::chrono::steady_clock;

Bytes FromHex(std::string_view hex)
{
    Bytes bytes;
    std::istringstream in{std::string(hex)};
    for (std::string pair; in >> pair;)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(pair, nullptr, 16)));
    return bytes;
}

Bytes FromText(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline)
            return false;
        ::poll(nullptr, 0, 5);
    }
    return true;
}

bool Exists(const std::string& path)
{
    struct stat st = {};
    return lstat(path.c_str(), &st) == 0;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

ModsimProcess::ModsimProcess(std::vector<std::string> extraArguments)
{
    char pattern[] = "/tmp/modsim_test.XXXXXX";
    m_dir = mkdtemp(pattern);
    link = m_dir + "/port";
    log = m_dir + "/log";
    out = m_dir + "/stdout";
    std::vector<std::string> args = {MODSIM_PATH, "--link", link, "--log", log};
    args.insert(args.end(), extraArguments.begin(), extraArguments.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    m_spawned = posix_spawn(&m_pid, MODSIM_PATH, &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
}

ModsimProcess::~ModsimProcess()
{
    if (m_spawned && !m_reaped) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

int ModsimProcess::stop()
{
    kill(m_pid, SIGTERM);
    int status = 0;
    m_reaped = WaitFor([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; });
    return m_reaped && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Client::Client(const std::string& path)
    : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
{
    termios tio{};
    if (m_fd >= 0 && tcgetattr(m_fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(m_fd, TCSANOW, &tio);
    }
}

Client::~Client()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool Client::send(const Bytes& bytes)
{
    return write(m_fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

Bytes Client::receiveSome(std::size_t most, std::chrono::milliseconds limit)
{
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0 || !(p.revents & POLLIN))
        return {};
    Bytes buffer(most);
    const ssize_t n = read(m_fd, buffer.data(), most);
    buffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return buffer;
}

Bytes Client::receive(std::size_t count, std::chrono::milliseconds limit)
{
    Bytes got;
    const auto deadline = Clock::now() + limit;
    while (got.size() < count) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            break;
        const Bytes some = receiveSome(count - got.size(), left);
        if (some.empty())
            break;
        got.insert(got.end(), some.begin(), some.end());
    }
    return got;
}

} // namespace modsim::test
