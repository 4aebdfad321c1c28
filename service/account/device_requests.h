#pragma once
// What a phone asks about the PC itself: the device heartbeat, the device log-in (the stored
// account is accepted at once; other credentials are put to the desktop program on
// 127.0.0.1:15003, which has 30 seconds to answer) and power-off, which is honoured only after
// an accepted log-in on the same connection, UDT socket or relay identity.
//
// The log-in question never blocks a transport: it runs on a pool task and its reply is posted
// back to the thread of the connection's event loop. At most one question is open per peer (a
// log-in it repeats meanwhile waits for that question's answer), two per address (loopback
// aside) and kMaxOpenQuestions in all; past that the log-in is refused at once. The question
// goes only to a listener of the service's own user or root.
//
// The outcome is the connection's (or UDT socket's) log-in state, which the dispatch enforces:
// nothing more after a refusal, and a refused direct peer is closed once the refusal went out
// (a relay phone's session is the server's: it is served nothing more). A connection already
// accepted is not asked again. Through the relay the request is read past the requester's
// identity.
#include <cstdint>
#include <string>

#include "common/opcode_registry.h"

constexpr uint16_t kDefaultUIPushPort = 15003;
constexpr int kDefaultUIAnswerMs = 30000;
constexpr int kMaxOpenQuestions = 8;
constexpr uint16_t kLoginAccepted = 0;
constexpr uint16_t kLoginRefused = 1;

int ReqDeviceHeartBeat(const char* body, const CommandHeader* header, bufferevent* conn,
                       char** reply, int* replyLen, int* udtSock, char* direct);
int ReqShutDownSystem(const char* body, const CommandHeader* header, bufferevent* conn,
                      char** reply, int* replyLen, int* udtSock, char* direct);
int ReqDeviceLogin(const char* body, const CommandHeader* header, bufferevent* conn,
                   char** reply, int* replyLen, int* udtSock, char* direct);

// Sends the message to the desktop program's push port and reads exactly answerLen bytes.
// 0, or -1 for the failing step (connect, send, receive or its time-out).
int SendUIRequest(const char* message, int messageLen, char* answer, int answerLen);

// The last device heartbeat as "%Y-%m-%d %H:%M:%S" (local), "" before the first.
std::string GetLastHeartBeatTime();

// Settings: "ui_port" and "ui_answer_ms" of QUARLO_TEST_SETTINGS, or set directly (tests).
void Device_LoadSettings();
void Device_SetUIPort(uint16_t port);
void Device_SetUIAnswerTimeout(int ms);

// Connection bookkeeping: call before the command server starts. Libevent is switched to
// thread-aware bases here, so a pool task may post the reply to a connection's loop.
void Device_InstallHooks();
// A connection ended: its log-in state and any open question's reply are forgotten.
void Device_OnConnectionClosed(bufferevent* conn);
// Number of log-in questions open now (tests).
int Device_OpenQuestions();
