#pragma once
// The service program: its command line (-i install, -u remove, -r run as the service), the
// service manager's entry points, the start-up sequence and the stop path.
#include <cstdint>
#include <string>

constexpr int kErrAnotherInstance = 4124;
constexpr int kErrOpenDatabase = 4125;
constexpr int kErrOpenLogFile = 4126;
constexpr int kErrInstanceLock = 4127;  // the single-instance lock cannot be made at all

constexpr const char* kSingleInstanceName = "342cfb6a-1374-11e2-a327-dd69792138b9";

int ServiceCommandLine(int argc, char** argv);  // main's body; the process exit code

int Service_IsInstalled(const std::string& name);  // 1 or 0
int Service_Install(const std::string& name);
int Service_Uninstall(const std::string& name);

void Service_Main(int argc, char** argv);
uint32_t Service_CtrlHandler(uint32_t control, uint32_t eventType, void* eventData, void* context);

using ServiceStep = int (*)();
int Service_RunSteps(const ServiceStep* steps, int count);
int Service_InitProcess();
int Service_InitProgram();
int Service_Exit();

std::string GetOSName();
void InitOSInfo();

// Registration of every opcode handler that exists (registry order); 0 or the registry's code.
int RegBusinessFun();
int RegShowFun();
