#pragma once
// Runs the real service program in a temporary base folder: copies the built programs into
// <base>/bin and <base>/system, installs and starts the service through the project's own
// service manager (net start), finds its command port in the log, and stops it (net stop).
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct ProgramResult {
  int exitCode = -1;  // the exit status, or -1 when the program could not run or timed out
  std::string output;  // stdout and stderr together
};

// Runs argv with extra environment entries ("NAME=value"), stdin from /dev/null.
ProgramResult RunProgram(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(60));

class ServiceProcess {
 public:
  explicit ServiceProcess(std::string baseDir, std::string name = "Quarlo");
  ~ServiceProcess();  // stops and removes the service when it still runs
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  void CopyPrograms();            // QuarloClient, sc, net into the base folder
  ProgramResult Install();        // bin/QuarloClient -i <name>
  ProgramResult Uninstall();      // bin/QuarloClient -u <name>
  ProgramResult NetStart();
  ProgramResult NetStop();
  ProgramResult Sc(const std::vector<std::string>& args);
  ProgramResult Client(const std::vector<std::string>& args);  // bin/QuarloClient args...

  // Install + net start + wait for the command port. False on any failure.
  bool Start();
  // The port from the log's "Bind port %d." line (needs log priority 700), 0 until then.
  uint16_t WaitForPort(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  int Pid();  // from sc query's status file, 0 when not running
  std::string LogText() const;
  const std::string& Base() const { return m_base; }
  std::vector<std::string> Env() const;  // the environment the programs run with
  // "NAME=value"; a QUARLO_TEST_SETTINGS entry adds its items to the one setting.
  void AddEnv(const std::string& entry) { m_extraEnv.push_back(entry); }
  // More QUARLO_TEST_SETTINGS items ("key=value,..."), for programs started afterwards.
  void SetTestSettings(const std::string& items) { m_testSettings = items; }

 private:
  std::string m_base;
  std::string m_name;
  bool m_installed = false;
  std::vector<std::string> m_extraEnv;
  std::string m_testSettings;
};
