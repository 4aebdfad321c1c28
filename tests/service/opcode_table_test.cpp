// The service's opcode table registers whole, in order, and only once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "common/log.h"
#include "common/opcode_registry.h"
#include "service/service_shell.h"
#include "tests/support/temp_base.h"
#include "tests/support/text_files.h"

TEST(OpcodeTable, RegistersEveryBuiltRowOnceThenRefusesTheFirstRowAgain) {
  TempBase base;
  const std::string logPath = base.LogDir() + "/Log.txt";
  g_Log.SetPath(logPath);
  g_Log.SetPriority(kLogDebug);
  ASSERT_TRUE(g_Log.Open());

  OS_ClearRegistry();
  ASSERT_EQ(RegBusinessFun(), 0);
  for (uint16_t op : {0x2002, 0x2003, 0x0001, 0x0002, 0x0003, 0x0004, 0x0005, 0x0011, 0x100E, 0x3001})
    EXPECT_TRUE(OS_IsRegistered(op)) << std::hex << op;
  // Device requests, the auto-sorting switch, the local API and the version record.
  for (uint16_t op : {0x8888, 0x0009, 0x0008, 0x5013, 0x5014, 0x5000, 0x5001, 0x5004, 0x5005,
                      0x5006, 0x5007, 0x5008, 0x5009, 0x500A, 0x500B, 0x500C, 0x500F, 0x5010,
                      0x5011, 0x5012, 0x1013, 0x5002, 0x500E})
    EXPECT_TRUE(OS_IsRegistered(op)) << std::hex << op;
  // Never registered: the push to the desktop program and the relay commands.
  for (uint16_t op : {0x500D, 0x1008, 0x1009}) EXPECT_FALSE(OS_IsRegistered(op)) << std::hex << op;

  EXPECT_EQ(RegBusinessFun(), 275);
  g_Log.Close();
  const std::string log = ReadFileText(logPath);
  EXPECT_NE(log.find("Opcode(8194) already registered."), std::string::npos) << log;
  EXPECT_NE(log.find("Reg GetShareInfo function error."), std::string::npos) << log;
  EXPECT_EQ(log.find("Reg GetAllSubFile function error."), std::string::npos)
      << "registration stops at the first failure";
  OS_ClearRegistry();
}
