// The e-mail rule the desktop program and the operator's site share.
#include "common/email_address.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(EmailAddress, PlainAddressesPassAndTheRestIsRefused) {
  const struct {
    std::string text;
    bool valid;
  } cases[] = {
      // Any number of labels; the last of two letters or more, however long.
      {"first.last-name_x@example.com", true}, {"a@b-c_d.org", true},
      {"user@mail.co.uk", true},               {"u@host.cn", true},
      {"x@y.info", true},                      {"user@example.museum", true},
      {"user@sub.example.com", true},          {"a.b@mail.dept.example.co.uk", true},
      {"x@y.com.tw", true},                    {"x@y.com.twn", true},
      {"1@2.3.de", true},                      {"...@y.com", true},
      // The last label: letters, two or more.
      {"user@example.c", false},               {"user@example.123", false},
      {"user@example.c0m", false},             {"user@localhost", false},
      // Empty labels and parts.
      {"user@example..com", false},            {"user@example.com.", false},
      {"user@.com", false},                    {"@example.com", false},
      {"user@", false},                        {"", false},
      // Characters outside the rule, blanks and a second "@".
      {"us er@example.com", false},            {"user@example.com ", false},
      {"user@example.com trailing", false},    {"me+x@example.com", false},
      {"me'x@example.com", false},             {"x@@y.com", false},
      {"x@y@z.com", false},                    {"x@y.co\xC3\xA9", false},
      {std::string("x@y.com\0.cn", 11), false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsEmailAddress(c.text), c.valid) << c.text;
}

}  // namespace
