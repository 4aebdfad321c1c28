#pragma once
// The rules every peer path goes through: "\\" becomes "/", a leading $DEFAULT...$ token is
// expanded, and the result is checked against the shared and default folders by canonical
// path components before anything is opened or created. Also the folder listing, folder
// chains, free names, upload leftovers, and the program and base folders.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/path_parts.h"

constexpr int kErrNotFolder = 4117;    // 0x1015
constexpr int kErrNotShared = 4118;    // 0x1016
constexpr int kErrDefaultEmpty = 4123;

constexpr const char* kRenameSuffix = "quarlo.rename";
constexpr const char* kRenameTmpSuffix = "quarlo.renametmp";

struct SubFileInfo {
  int type = 0;       // 0 folder, 1 file
  uint64_t size = 0;  // 0 for folders
  std::string time;   // "%Y-%m-%d %H:%M:%S", local
  std::string name;
};

std::string NormalizePeerPath(const std::string& path);  // "\\" to "/"
std::string ExpandDefaultPath(const std::string& path);   // "" when the token's folder is empty
int CheckSharePath(const std::string& folder);             // 0, 4117 or 4118
// Pure form of the check against explicit lists (tests).
int CheckSharePathIn(const std::string& folder, const std::vector<std::string>& allowed);
// Canonical form of a path: realpath of the nearest existing ancestor plus the rest, with
// "." removed; "" when a ".." component is present or nothing can be resolved.
std::string CanonicalPath(const std::string& path);

// Opening judged by what was opened, never by the name: the canonical path must lie in one of
// `allowed` (or the shares and default folders); it is opened beneath that folder with no link
// followed on the way, and the descriptor must still name that canonical path afterwards. A
// file must lie below its folder, not be it. The descriptor, or -1 (EACCES: outside the
// shares); `opened` gets the canonical path.
int OpenSharedPath(const std::string& path, int flags, std::string* opened = nullptr);
int OpenSharedPathIn(const std::string& path, const std::vector<std::string>& allowed, int flags,
                     std::string* opened = nullptr);
// OpenSharedPath for a thread that must not wait for the disk: only the common case of a path
// through a share with no link on the way, with every lookup in the kernel's cache. -1 (EAGAIN)
// for anything else, refusals included: OpenSharedPath then decides.
int OpenSharedPathCached(const std::string& path, int flags, std::string* opened = nullptr);
// The folder opened (O_RDONLY | O_DIRECTORY) as above, its missing components made one by one
// beneath the share that holds it, never through a link. The descriptor or -1.
int MakeSharedFolder(const std::string& folder, std::string* opened = nullptr);
int MakeSharedFolderIn(const std::string& folder, const std::vector<std::string>& allowed,
                       std::string* opened = nullptr);

void GetSubFileList(const std::string& folder, std::vector<SubFileInfo>& out);  // appends
int CreateDirPath(const std::string& path);
void GetUniqueFileName(const std::string& path, std::string& out);
// The ".(n)" free-name rule, one home for every caller: `base` + ".(n)" + `suffix` for n = 0,
// 1, ... until `take` accepts one (it may claim the name itself, say by a rename); that one.
std::string FreeNumberedName(const std::string& base, const std::string& suffix,
                             const std::function<bool(const std::string&)>& take);
// What free names of a file keep after the number: "." and the extension of its own name,
// never of a dotted folder above it; "" without one. A name that ends in "." keeps that bare
// dot only with keepBareDot (uploads have always been published so: "a." as "a..(0).").
std::string FreeNameSuffix(const std::string& path, bool keepBareDot = false);
void DeleteRenameFiles();
void DeleteFilesBySuffix(const char* folder, const char* suffix);

int GetProgramDir(std::string& out);  // 0, 1 or -1
int GetBaseDir(std::string& out);     // 0 or -1; the user's own for a per-user installation
std::string GetDefLanguageEncode();   // "gb2312", "big5" or "en"
std::string DefLanguageEncodeFor(const std::string& codeSet);  // pure form
