#pragma once
// Restores an environment variable to what it was when the guard was made.
#include <cstdlib>
#include <string>

class CEnvGuard {
 public:
  explicit CEnvGuard(const char* name) : m_name(name) {
    const char* v = std::getenv(name);
    m_had = v != nullptr;
    if (v) m_value = v;
  }
  ~CEnvGuard() {
    if (m_had) {
      setenv(m_name.c_str(), m_value.c_str(), 1);
    } else {
      unsetenv(m_name.c_str());
    }
  }
  CEnvGuard(const CEnvGuard&) = delete;
  CEnvGuard& operator=(const CEnvGuard&) = delete;

 private:
  std::string m_name;
  std::string m_value;
  bool m_had = false;
};
