#pragma once
// Runs the real QuarloCentral for a test: its own data folder (removed afterwards), TCP and
// UDP on free ports of loopback (or of the address SetListenHost names), stopped with SIGTERM. Accounts are added through its command
// line with the password on standard input, as an operator does.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/service_process.h"

class CentralProcess {
 public:
  CentralProcess();   // makes the data folder; Start() runs the server
  ~CentralProcess();  // stops the server and removes the folder
  CentralProcess(const CentralProcess&) = delete;
  CentralProcess& operator=(const CentralProcess&) = delete;

  // Before Start: where TCP, UDP and the site listen ("0.0.0.0": also where a veth pair into
  // a network namespace reaches). Clients on this host still use 127.0.0.1.
  void SetListenHost(const std::string& host) { m_host = host; }
  bool Start();  // true once the log names the bound port
  // Start with the web site on a free loopback port (HTTPS with a PEM certificate and key).
  bool StartWithSite(const std::string& tlsCert = "", const std::string& tlsKey = "");
  bool Stop();   // SIGTERM; true when it exited with 0
  uint16_t Port() const { return m_port; }
  uint16_t P2PPort() const { return m_p2pPort; }  // the UDP rendezvous port
  const std::string& SiteUrl() const { return m_siteUrl; }  // "http://127.0.0.1:PORT", "" without
  std::string SiteFolder() const { return m_dir + "/site"; }
  const std::string& DataDir() const { return m_dir; }
  std::string LogText() const;
  // Lines "exchange 0x.... ... total N status 0x...." of one command, in order.
  std::vector<std::string> Exchanges(uint16_t command) const;

  // QuarloCentral --data DIR <args...> with the given standard input.
  ProgramResult Admin(const std::vector<std::string>& args, const std::string& input = "") const;
  bool AddAccount(const std::string& email, const std::string& password) const;

  static std::string Binary();

 private:
  std::string m_dir;
  std::string m_host = "127.0.0.1";
  pid_t m_pid = -1;
  uint16_t m_port = 0;
  uint16_t m_p2pPort = 0;
  std::vector<std::string> m_siteArgs;
  std::string m_siteUrl;
};

// The text a PC stores and sends for a typed password ("$1$bramle$" MD5-crypt, prefix cut).
std::string PcPasswordOf(const std::string& password);

// A self-signed certificate for 127.0.0.1 and its key (PEM, openssl CLI), for the site's HTTPS;
// clients trust it by naming the certificate file as their authority.
bool MakeTestCertificate(const std::string& certPath, const std::string& keyPath);
