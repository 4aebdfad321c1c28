#include "desktop/foundation/text_encodings.h"

#include <cstdlib>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/env_guard.h"

namespace {

struct Freer {
  void operator()(void* p) const { std::free(p); }
};

// Runs a conversion; "<null>" stands for a refused conversion.
std::string Converted(char* (*fn)(const char*), const std::string& in) {
  std::unique_ptr<char, Freer> out(fn(in.c_str()));
  return out ? std::string(out.get()) : std::string("<null>");
}

const std::string kNiHaoUtf8 = "\xE4\xBD\xA0\xE5\xA5\xBD";  // 你好
const std::string kNiHaoGb = "\xC4\xE3\xBA\xC3";
const std::string kNiHaoBig5 = "\xA7\x41\xA6\x6E";
const std::string kTiUtf8 = "\xE9\xAB\x94";  // 體: traditional only, no GB2312 form
const std::string kTiBig5 = "\xC5\xE9";

TEST(TextEncodings, ConversionsFollowTheLocale) {
  CEnvGuard lang("LANG"), all("LC_ALL"), messages("LC_MESSAGES");
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  const struct {
    const char* locale;
    char* (*fn)(const char*);
    std::string in;
    std::string want;
  } cases[] = {
      // Under a UTF-8 locale nothing is converted, whatever the language.
      {"zh_CN.UTF-8", Utf8ToLocal, kNiHaoUtf8, kNiHaoUtf8},
      {"en_US.UTF-8", LocalToUtf8, kNiHaoUtf8, kNiHaoUtf8},
      {"zh_CN.GB2312", Utf8ToLocal, kNiHaoUtf8, kNiHaoGb},
      {"zh_CN.GB2312", LocalToUtf8, kNiHaoGb, kNiHaoUtf8},
      {"zh_CN.GB2312", Utf8ToLocal, kTiUtf8, kTiBig5},  // no GB2312 form: BIG5
      {"zh_TW.BIG5", Utf8ToLocal, kNiHaoUtf8, kNiHaoBig5},
      {"zh_TW.BIG5", LocalToUtf8, kNiHaoBig5, kNiHaoUtf8},
      {"en_US.ISO-8859-1", Utf8ToLocal, "plain ascii", "plain ascii"},
      {"en_US.ISO-8859-1", Utf8ToLocal, "caf\xC3\xA9", "<null>"},  // refused, never ""
      {"en_US.ISO-8859-1", LocalToUtf8, "caf\xE9", "<null>"},
      {"en_US.ISO-8859-1", LocalToUtf8, "", ""},
      {"de_DE.ISO-8859-1", Utf8ToLocal, "caf\xC3\xA9", "caf\xC3\xA9"},  // other languages pass
      {"zh_HK.BIG5-HKSCS", LocalToUtf8, kNiHaoBig5, kNiHaoBig5},
  };
  for (const auto& c : cases) {
    setenv("LANG", c.locale, 1);
    EXPECT_EQ(Converted(c.fn, c.in), c.want) << c.locale << " " << c.in;
  }
}

TEST(TextEncodings, IconvConvertNeverGivesAPartialResult) {
  EXPECT_EQ(IconvConvert("GB2312", kNiHaoUtf8.c_str(), "UTF-8"), kNiHaoGb);
  EXPECT_EQ(IconvConvert("ASCII", ("ab" + kNiHaoUtf8).c_str(), "UTF-8"), "");
  EXPECT_EQ(IconvConvert("NO-SUCH-SET", "abc", "UTF-8"), "");
  EXPECT_EQ(IconvConvert("UTF-8", "\xFF\xFE", "UTF-8"), "");
  // A long text grows the output past the first guess.
  std::string many;
  for (int i = 0; i < 1000; ++i) many += kNiHaoGb;
  EXPECT_EQ(IconvConvert("UTF-8", many.c_str(), "GB2312").size(), 1000 * kNiHaoUtf8.size());
}

TEST(TextEncodings, WideRoundTripsAndBadBytes) {
  const std::string mixed = "a" + kNiHaoUtf8 + "\xF0\x9F\x98\x80";
  EXPECT_EQ(WideToUtf8(Utf8ToWide(mixed)), mixed);
  EXPECT_EQ(Utf8ToWide("a\xC0\xAFz"), std::wstring(L"a\uFFFD\uFFFDz"));  // overlong '/'
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), std::wstring(L"\uFFFD\uFFFD\uFFFD"));  // surrogate
  std::unique_ptr<wchar_t, Freer> w(Utf8ToWideAlloc(kNiHaoUtf8.c_str()));
  ASSERT_TRUE(w);
  EXPECT_EQ(std::wstring(w.get()), L"\u4f60\u597d");
  EXPECT_EQ(Utf8ToWideAlloc(nullptr), nullptr);
  EXPECT_EQ(WideToAnsiAlloc(nullptr), nullptr);
}

}  // namespace
