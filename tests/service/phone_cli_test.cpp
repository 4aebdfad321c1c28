// quarlo-phone against the real service: what a newcomer types after `make run`.
#include <gtest/gtest.h>

#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/text_files.h"

namespace {

std::string Phone() { return std::string(QUARLO_BUILD_DIR) + "/tests/quarlo-phone"; }

TEST(PhoneCli, ListsGetsAndPutsThroughTheRealService) {
  TempBase base;
  const std::string share = base.MakeDir("share");
  base.WriteFile("share/hello.txt", "hello from the PC\n");
  std::string big(250000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 1000);
  base.WriteFile("share/big.bin", big);
  base.AddShare(share);
  ServiceProcess svc(base.Dir());
  svc.AddEnv("QUARLO_TEST_SETTINGS=http_port=0");
  ASSERT_TRUE(svc.Start()) << svc.LogText();
  const std::string port = std::to_string(svc.WaitForPort());
  auto run = [&](std::vector<std::string> args) {
    std::vector<std::string> argv{Phone(), "--port", port};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv);
  };

  ProgramResult r = run({"ls"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find(share), std::string::npos) << r.output;
  r = run({"ls", share});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("file            18  hello.txt"), std::string::npos) << r.output;

  const std::string local = base.Dir() + "/got.bin";
  r = run({"get", share + "/big.bin", local});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(ReadFileText(local), big);

  const std::string upload = base.WriteFile("upload.bin", big.substr(1000) + "tail");
  r = run({"put", upload, share + "/sent.bin"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(ReadFileText(share + "/sent.bin"), big.substr(1000) + "tail");

  r = run({"get", base.Dir() + "/etc/Quarlo.db", base.Dir() + "/x"});
  EXPECT_EQ(r.exitCode, 1) << "outside the shares";
  EXPECT_NE(r.output.find("refused: not shared (code 0x1016)"), std::string::npos) << r.output;

  // Refusals in words, a relative path stopped before it is sent, the sorting switch both ways.
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    const char* says;
  };
  const std::vector<Case> cases = {
      {{"get", share + "/missing.txt", base.Dir() + "/x"}, 1, "refused: no such file (code 0x1017)"},
      {{"ls", "share"}, 1, "is not a whole path on the PC"},
      {{"sort", "on"}, 0, "photo sorting is on"},
      {{"sort"}, 0, "photo sorting is on"},
      {{"sort", "off"}, 0, "photo sorting is off"},
  };
  for (const Case& c : cases) {
    r = run(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.args[0] << ": " << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << c.args[0] << ": " << r.output;
  }
}

}  // namespace
