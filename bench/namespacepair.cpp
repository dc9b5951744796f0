#include "namespacepair.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace horalis::bench {

namespace {

constexpr const char *NamespaceDir = "/run/netns/";
constexpr std::chrono::milliseconds CommandTimeout(10'000);

// The namespaces made so far, for a signal that ends the program before they are
// removed the ordinary way (Ctrl-C, kill, an abort). Removing one is what `ip netns
// del` does: detach its bind mount and delete the file.
char g_madePaths[2][128];
volatile sig_atomic_t g_madeCount = 0;
constexpr int CaughtSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGABRT};
struct sigaction g_previous[std::size(CaughtSignals)];

void removeOnSignal(int signal)
{
    for (int i = 0; i < g_madeCount; ++i) {
        umount2(g_madePaths[i], MNT_DETACH);
        unlink(g_madePaths[i]);
    }
    // SA_RESETHAND restored the default action: the signal now ends the program.
    raise(signal);
}

// Runs `ip` with these arguments, bounded in time; throws with its words when it fails.
void ip(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), "ip");
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "ip", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        throw std::runtime_error(spawned == ENOENT
                                     ? "no `ip` command: install iproute2"
                                     : "cannot run `ip`: " + std::string(strerror(spawned)));
    }

    std::string said;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + CommandTimeout;
    for (;;) {
        pollfd readable{out[0], POLLIN, 0};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || poll(&readable, 1, int(left.count())) <= 0)
            break;
        char chunk[512];
        const ssize_t size = read(out[0], chunk, sizeof chunk);
        if (size <= 0)
            break;
        said.append(chunk, size_t(size));
    }
    close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            throw std::runtime_error(arguments[1] + " " + arguments[2] + ": `ip` did not finish");
        }
        usleep(10'000);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string command;
        for (const std::string &argument : arguments)
            command += (command.empty() ? "" : " ") + argument;
        while (!said.empty() && said.back() == '\n')
            said.pop_back();
        throw std::runtime_error("`" + command + "` failed: " + said);
    }
}

} // namespace

NamespacePair::NamespacePair()
{
    if (geteuid() != 0)
        throw std::runtime_error("not root: network namespaces need root");
    const std::string pid = std::to_string(getpid());
    m_namespace[Client] = "horalis-bench-" + pid + "-c";
    m_namespace[Server] = "horalis-bench-" + pid + "-s";
    m_device[Client] = "hbench" + pid + "c";
    m_device[Server] = "hbench" + pid + "s";
    for (size_t i = 0; i < std::size(CaughtSignals); ++i) {
        struct sigaction action {};
        action.sa_handler = removeOnSignal;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        sigaction(CaughtSignals[i], &action, &g_previous[i]);
    }
    try {
        make(Client);
        make(Server);
    } catch (...) {
        removeAll();
        throw;
    }
}

NamespacePair::~NamespacePair()
{
    removeAll();
}

void NamespacePair::make(Side side)
{
    const std::string &name = m_namespace[side];
    const std::string &device = m_device[side];
    ip({"netns", "add", name});
    m_made[side] = true;
    const std::string path = NamespaceDir + name;
    std::snprintf(g_madePaths[g_madeCount], sizeof g_madePaths[0], "%s", path.c_str());
    g_madeCount = g_madeCount + 1;
    m_namespaceFd[side] = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_namespaceFd[side] < 0)
        throw std::runtime_error("cannot open " + path + ": " + strerror(errno));

    m_tun[side] = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (m_tun[side] < 0)
        throw std::runtime_error(std::string("cannot open /dev/net/tun: ") + strerror(errno));
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::snprintf(request.ifr_name, IFNAMSIZ, "%s", device.c_str());
    if (ioctl(m_tun[side], TUNSETIFF, &request) != 0)
        throw std::runtime_error("cannot make TUN device " + device + ": " + strerror(errno));

    const std::string address = std::string(side == Client ? ClientAddress : ServerAddress) + "/24";
    ip({"link", "set", device, "netns", name});
    ip({"-n", name, "address", "add", address, "dev", device});
    ip({"-n", name, "link", "set", device, "up"});
    // Loopback too: the client's primary server is a port nobody listens on there.
    ip({"-n", name, "link", "set", "lo", "up"});
}

bool NamespacePair::enter(Side side) const
{
    return m_namespaceFd[side] >= 0 && setns(m_namespaceFd[side], CLONE_NEWNET) == 0;
}

void NamespacePair::removeAll()
{
    for (Side side : {Client, Server}) {
        // Closing the descriptor removes the TUN device.
        if (m_tun[side] >= 0)
            close(m_tun[side]);
        m_tun[side] = -1;
        if (m_namespaceFd[side] >= 0)
            close(m_namespaceFd[side]);
        m_namespaceFd[side] = -1;
    }
    for (Side side : {Client, Server}) {
        if (!m_made[side])
            continue;
        try {
            ip({"netns", "del", m_namespace[side]});
        } catch (const std::exception &) {
            // Removed as a signal would: the mount detached and the file deleted.
            const std::string path = NamespaceDir + m_namespace[side];
            umount2(path.c_str(), MNT_DETACH);
            unlink(path.c_str());
        }
        m_made[side] = false;
    }
    g_madeCount = 0;
    for (size_t i = 0; i < std::size(CaughtSignals); ++i)
        sigaction(CaughtSignals[i], &g_previous[i], nullptr);
}

} // namespace horalis::bench
