#pragma once
// Where the data folder and its category folders lie: the data folder is the folder "Quarlo"
// under a base folder the user chooses. Every such path is made here, with std::filesystem and
// "/" (never by searching the text for separators or for "Quarlo").
#include <string>

// base + "/Quarlo", no separator doubled; "" for an empty base.
std::string DataFolderUnder(const std::string& base);
// The folder a data folder lies in, trailing separators ignored: "/Quarlo" -> "/",
// "/a/Quarlo/b/Quarlo/" -> "/a/Quarlo/b"; "" for "" or a path without a parent.
std::string BaseFolderOf(const std::string& dataFolder);
// Joins a folder and a name with one "/".
std::string JoinPath(const std::string& folder, const std::string& name);
// The canonical form (links resolved as far as the path exists, "." and ".." gone, no
// trailing separator); "" when it cannot be formed.
std::string CanonicalFolder(const std::string& path);
// a and b name the same folder, judged by their canonical forms.
bool SameFolder(const std::string& a, const std::string& b);
// inner is outer or lies inside it, by whole canonical components.
bool FolderInside(const std::string& inner, const std::string& outer);
