#pragma once
// qv_hostednetwork: starts a Wi-Fi hotspot with a given network name and passphrase and keeps
// it up while the process lives ("/start"), or takes it down ("/stop"). The command line is
// one text, as the tool's callers write it: the program's arguments joined by one blank.
#include <cstddef>
#include <string>

enum HostedNetworkMode { kHostedNetworkNone = 0, kHostedNetworkStart = 1, kHostedNetworkStop = 2 };

// WPA2 limits: an SSID field of 32 bytes keeps a terminating zero, a passphrase has 8 to 63
// printable ASCII characters.
constexpr size_t kMaxNetworkNameBytes = 31;
constexpr size_t kMinPassphraseChars = 8;
constexpr size_t kMaxPassphraseChars = 63;

// Exit statuses of the tool.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;        // NetworkManager refused or failed
constexpr int kExitUsage = 2;         // the command line was not understood or not valid
constexpr int kExitNotPossible = 3;   // no NetworkManager, or no usable Wi-Fi adapter

// The usage text (--help on standard output, after a refused command line on standard error).
extern const char kHostedNetworkUsage[];

struct HostedNetworkRequest {
  int mode = kHostedNetworkNone;
  std::string networkName;
  std::string passphrase;
  std::string error;  // why the command line was refused; empty when it was taken
};

// Reads "/start NAME PASS", "/start \"NAME WITH BLANKS\" PASS" (the passphrase is the rest,
// blanks included) or "/stop". False, with mode none and request.error set, for anything
// else, and for a name or passphrase that a hotspot cannot use.
bool ParseHostedNetworkCommandLine(const std::string& commandLine, HostedNetworkRequest& request);

// The program's arguments as one command-line text.
std::string HostedNetworkCommandLine(int argc, char** argv);

// What a started hotspot needs to be taken down again.
struct HostedNetworkHandle {
  std::string profile;  // empty: nothing was started
  std::string device;
};

// Brings the hotspot up. 0, or an exit status with the reason in error.
int ConfigureHostedNetwork(const std::string& passphrase, const std::string& networkName,
                           HostedNetworkHandle& handle, std::string& error);

// Parses and runs the command. Returns the exit status; after a successful "/start" the
// handle holds the running hotspot, which the caller keeps up until it is told to stop.
// Messages go to standard output and standard error.
int RunHostedNetworkCommand(HostedNetworkHandle& handle, const std::string& commandLine);

// Takes a started hotspot down; the exit status.
int StopHostedNetwork(const HostedNetworkHandle& handle);
