#pragma once
// The root side of installing an update (the program quarlo_update_install, run through
// pkexec). It trusts nothing its caller says but two paths: it copies the package into a
// folder only root can write, checks the signature on that copy with the compiled-in key,
// and installs the copy; the user's file is never installed and never read again after the
// copy, so a package swapped while the elevation prompt waited installs nothing.
#include <string>

struct UpdateInstallOptions {
  std::string cacheDir = "/var/cache/quarlo-update";  // made 0700, owned by the caller's euid
  std::string installProgram = "/usr/bin/apt-get";    // run as: install -y <copy>
  int installTimeoutMs = 2 * 3600 * 1000;
};

// Exit codes besides the install program's own.
constexpr int kUpdateInstallUsage = 2;
constexpr int kUpdateInstallNoSafeFolder = 3;  // the folder is not one only we can write
constexpr int kUpdateInstallUnreadable = 4;    // package or signature cannot be read or copied
constexpr int kUpdateInstallBadSignature = 5;  // the copy's signature does not hold
constexpr int kUpdateInstallNotStarted = 6;    // the install program could not be started

// The name of the copy inside the folder (apt-get wants a path ending in ".deb").
constexpr char kUpdateInstallCopyName[] = "Quarlo.deb";

// 0 when installed, else one of the codes above or the install program's exit status;
// message says what happened (one line a step, for the caller's log).
int Plat_InstallSignedUpdate(const std::string& package, const std::string& signaturePath,
                             const UpdateInstallOptions& options, std::string& message);

// True when path is an absolute folder path whose every ancestor only root (or we) can change:
// owned by root or our euid, and not writable by group or others unless sticky.
bool Plat_AncestorsAreSafe(const std::string& path, std::string& why);
