#pragma once
// Port mappings on the home router (an Internet Gateway Device found with UPnP through
// miniupnpc), so that phones outside the LAN reach the PC. One discovery per round; each
// mapping is read first and left alone when it already points at this PC with enough lease
// left. Outcomes go to the log at 700. Blocking: call from a pool task only.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

constexpr uint16_t kUPnPCommandBase = 61616;  // external port = base + last octet of the LAN address
constexpr uint16_t kUPnPHttpBase = 62616;
constexpr int kUPnPDiscoverMs = 1000;
constexpr int kUPnPLeaseSeconds = 3600;
constexpr int kUPnPRenewBelowSeconds = 600;  // a mapping with less lease left is added again
// A round that has taken this long asks the router nothing more; the next round tries again.
constexpr int kUPnPRoundBudgetMs = 20000;

// One discovery and the first valid IGD; frees everything it got on destruction.
class CUPnPGateway {
 public:
  CUPnPGateway();
  ~CUPnPGateway();
  CUPnPGateway(const CUPnPGateway&) = delete;
  CUPnPGateway& operator=(const CUPnPGateway&) = delete;

  bool Discover(int delayMs = kUPnPDiscoverMs);  // false: no (valid) gateway; logged
  const std::string& LanAddr() const { return m_lanAddr; }
  const char* ControlUrl() const;
  const char* ServiceType() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
  std::string m_lanAddr;
};

// Pure rules.
uint16_t UPnPExternalPort(const std::string& lanAddr, uint16_t base);  // 0 for a bad address
const char* UPnPCheckProtocol(const char* text);  // "TCP", "UDP" or nullptr
enum class UPnPAction { kKeep, kAdd, kReplace };
// What to do with a mapping given what the router holds for its external port (found or
// not, its internal client, port and the lease left, "0" = permanent).
UPnPAction UPnPDecide(bool found, const std::string& client, const std::string& port,
                      const std::string& lease, const std::string& wantClient, uint16_t wantPort);

// One mapping on a discovered gateway. The internal client is the gateway's LAN address (this
// PC); the external port goes to *externalPort. 0 when the requests were made, -1 for port 0.
int UPnPMapPort(CUPnPGateway& gw, uint16_t internalPort, uint16_t* externalPort, bool tcp,
                bool alternative);
int UPnPDeleteMapping(const char* protocol, const char* externalPort, const CUPnPGateway& gw);
int UPnPAddMapping(const CUPnPGateway& gw, const char* internalPort, const char* externalPort,
                   const char* internalClient, const char* protocol);

// The round of one server-info report: the command port (TCP), the peer-to-peer UDP port when
// its socket is bound (udpPort 0: none yet, logged) and the HTTP port. Returns the command
// port's external port, 0 when no gateway was found. A port of 0 is not mapped.
uint16_t UPnPMapAll(uint16_t commandPort, uint16_t udpPort, uint16_t httpPort);

// UPnPMapAll off the caller's thread, so that no report waits for a slow, stuck or absent
// router: one round at a time on a thread of its own; a request while a round runs is kept
// (the latest ports win) and runs after it. done gets the command port's external port on
// that thread. Never blocks on the network.
void UPnPMapAllAsync(uint16_t commandPort, uint16_t udpPort, uint16_t httpPort,
                     std::function<void(uint16_t)> done);
