#pragma once
// The peer-to-peer channel: one UDP socket announces the PC to the peer-to-peer server every
// 10 s, answers hole punches (from that server, and from phones), and carries each punched
// phone's UDT connection, whose messages are dispatched like the command server's.
//
// Each phone's UDT runs on a UDP socket of its own, bound to the same port with SO_REUSEADDR
// and connect()ed to that phone: the kernel hands the phone's datagrams to it and everything
// else to the service's own socket, so UDT never eats a punch and closing one phone's UDT
// (which closes its UDP socket) leaves the shared one alone.
//
// Lock order: the transfer-map mutex is released before the peer-list mutex is taken.
#include <cstddef>
#include <cstdint>

struct sockaddr_in;

constexpr int kMaxP2PPeers = 8;             // connected and connecting phones together
constexpr int kMaxP2PPeersPerAddress = 2;   // of one non-loopback address: one sender cannot take all
constexpr int kRendezvousTimeoutMs = 6000;  // a rendezvous connect gives up after this
constexpr int kP2PHeartBeatMs = 10000;
constexpr int kP2PResolveRetryMs = 30000;

int StartP2PClient(void* unused);   // pool task: the socket and the receive loop
int SendP2PHearBeat(void* unused);  // pool task
int P2PTrans(void* unused);         // pool task: starts a worker for each new peer
int P2PTransThread(void* entry);    // pool task: owns a heap P2PPeerEntry

// Message handlers of the receive loop (bodies of 26 and 14 bytes).
void P2PHolePunch(const uint8_t* body, const sockaddr_in& from);
void P2PHoleACK(const uint8_t* body, const sockaddr_in& from);

// One datagram from the receive loop: checked (its header total must equal its size) and
// handed to the handler of its command. Safe for any input.
void P2PHandleDatagram(const uint8_t* data, size_t len, const sockaddr_in& from);

// Closes a UDT peer once what was queued for it went out (at most a second's wait; any thread
// but the peer's own worker blocks no one else meanwhile). A refused device log-in.
void P2P_ClosePeerWhenSent(int udtSock);

int InitP2PSock();  // g_P2PUdpSock; 0 or -1

// The UDP port the P2P socket really bound (host order), 0 while there is none: the port the
// router must map for phones outside.
uint16_t P2P_BoundPort();
