#pragma once
// Small text helpers the tests share: a whole file as text, and how often a text occurs.
#include <cstddef>
#include <string>

std::string ReadFileText(const std::string& path);  // "" when it cannot be read
size_t CountOccurrences(const std::string& text, const std::string& what);
