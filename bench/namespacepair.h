#pragma once
// Two network namespaces the benchmark makes for itself, a client's and a server's,
// each with a TUN device whose other end stays with this process: whatever carries
// packets between the two descriptors is the only path between the namespaces.

#include <string>

namespace horalis::bench {

class NamespacePair {
public:
    static constexpr const char *ClientAddress = "10.213.0.1";
    static constexpr const char *ServerAddress = "10.213.0.2";

    // Makes the namespaces and devices and brings them up. Throws std::runtime_error
    // saying why it could not, having removed what it had made.
    NamespacePair();
    ~NamespacePair();
    NamespacePair(const NamespacePair &) = delete;
    NamespacePair &operator=(const NamespacePair &) = delete;

    // The devices' descriptors (IFF_TUN | IFF_NO_PI, non-blocking).
    int clientTun() const { return m_tun[Client]; }
    int serverTun() const { return m_tun[Server]; }
    // Moves the calling thread, and only it, into that namespace.
    bool enterClient() const { return enter(Client); }
    bool enterServer() const { return enter(Server); }

private:
    enum Side { Client, Server };
    void make(Side side);
    bool enter(Side side) const;
    void removeAll();

    std::string m_namespace[2];
    std::string m_device[2];
    bool m_made[2] = {false, false};
    int m_tun[2] = {-1, -1};
    int m_namespaceFd[2] = {-1, -1};
};

} // namespace horalis::bench
