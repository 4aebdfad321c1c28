#pragma once
// Requests per second that ab (apache2-utils) reaches on one URL; 0 when it failed (its output
// is printed then).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include "tests/support/service_process.h"

namespace bench {

inline double AbRate(const std::string& url, int requests, int concurrency) {
  const ProgramResult r =
      RunProgram({"/usr/bin/ab", "-q", "-n", std::to_string(requests), "-c",
                  std::to_string(concurrency), url},
                 {}, std::chrono::minutes(5));
  std::smatch m;
  const std::regex rate(R"(Requests per second:\s+([0-9.]+))");
  if (!std::regex_search(r.output, m, rate)) {
    std::printf("ab failed: %s\n", r.output.substr(0, 300).c_str());
    return 0;
  }
  return std::atof(m[1].str().c_str());
}

}  // namespace bench
