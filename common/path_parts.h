#pragma once
// A path taken apart by components; the share table and the share-path checks both compare
// paths this way.
#include <string>
#include <vector>

// The path's components without empty and "." pieces; false when one is "..".
bool SplitComponents(const std::string& path, std::vector<std::string>& out);
