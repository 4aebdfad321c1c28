#pragma once
// LAN discovery: a pool task answers "qv" requests of phones on UDP port 61617 with a
// 206-byte reply broadcast to 255.255.255.255:61617 from the PC's address on the requester's
// network (chosen by each adapter's netmask). One thread owns the sockets and the adapter map.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/net_info.h"

int StartBroadcastServer(void* unused);  // pool task; ends at the exit flag

// Creates a UDP socket with SO_BROADCAST, SO_REUSEADDR and 5 s time-outs, bound to the
// address (INADDR_ANY for "") and port 61617 (tests may pass another port). 0 or -1.
int InitUdpSock(const std::string& localIp, int* sock, uint16_t port = 61617);

// 0 for a request to answer ("qv", device type 4 or 5), -1 otherwise; short input is safe.
int ParseBroadcastData(const uint8_t* data, size_t len);

// Rebuilds the adapter map (address text -> address and netmask, network order). 0.
int UpdateAdapterMap();

// Builds the reply and broadcasts it from each adapter on the requester's network. A send that
// fails is logged and the other adapters are still answered; -1 when any failed.
int RevAndSendBroadcastData(const std::string& requesterIp);

// The adapters (network order) whose network, by their netmask, holds the requester; in order.
std::vector<uint32_t> ReplyAdaptersFor(const std::map<std::string, AdapterAddress>& adapters,
                                       uint32_t requesterNetOrder);
