#pragma once
// Small blocking socket helpers for the service's own (non-libevent) connections, and the
// host's addresses. Sockets are passed by pointer to their descriptor; -1 means none. Sends
// never raise SIGPIPE; EINTR is retried.
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/net_info.h"

struct DefaultDirSet;

constexpr int kNoSocket = -1;
constexpr int kErrAllocate = 273;

// The peer-to-peer UDP socket (owned by the peer-to-peer channel), -1 until it exists.
extern std::atomic<int> g_P2PUdpSock;

int ConnectSock(int* sock, uint16_t port, const char* host);  // getaddrinfo, first IPv4
// ConnectSock for the central server's roads: on loopback only a listener of this user or root
// is kept. Telling whose it is may wait for the server's accept, so never on an event loop.
int ConnectServerSock(int* sock, uint16_t port, const char* host);
// Ports 1..65534, INADDR_ANY, backlog 32. A socket of -1 is created here (and closed again
// when binding fails); the socket is untouched for a refused port.
int ListenSock(uint16_t port, int* sock);
int RecvSock(int* sock, int count, char* buffer);             // exactly count bytes
int SendSock(int* sock, int count, const char* data);         // the whole buffer
int SendToSock(int* sock, int count, const char* data, const sockaddr_in* to);
// From g_P2PUdpSock; the port in host order.
int SendUdpToHost(const uint16_t* port, const char* data, int count, const char* host);
int CloseSock(int* sock);
std::string IpToStr(const unsigned char ip[4]);

// Receive and send time-outs as timeval; call before connect. 0 on success.
int SetSockTimeout(int sock, int recvMs, int sendMs);
// Request/answer connections send each message as soon as it is written: without this, a
// message written in two pieces waits for the peer's delayed acknowledgement (about 40 ms).
int SetNoDelay(int sock);

// Network information.
// Adapters are taken in the order PreferredAdapters gives: the one that carries the default
// route, then the others that are up; a down adapter gives no address.
int GetLoaclIp(std::string& out);      // first non-loopback IPv4 address of the adapters
int GetLocalIpAddr(uint32_t& out);     // the same, network order
int GetAdapterIpList(std::vector<std::string>& out);
int GetMacAddrList(std::vector<std::string>& out);
std::string GetMacAddr();              // first MAC that is not 00-00-00-00-00-00
// Appends the six default folders (default, documents, music, pictures, video, instant),
// leaving out any text already in the list.
void GetDefaultDirList(std::vector<std::string>& out);

// Pure rules behind the adapter functions (tests reach them without the system).
std::vector<AdapterInfo> PreferredAdapters(const std::vector<AdapterInfo>& adapters);
void AdapterIpListFrom(const std::vector<AdapterInfo>& adapters, std::vector<std::string>& out);
void MacAddrListFrom(const std::vector<AdapterInfo>& adapters, std::vector<std::string>& out);
std::string LocalIpFrom(const std::vector<AdapterInfo>& adapters);  // "" when there is none
void DefaultDirListFrom(const DefaultDirSet& dirs, std::vector<std::string>& out);
