#pragma once
// Free helpers of the desktop programs: running the system tools (by argv, never through a
// shell), the version and rights tests, the per-user folder and its files, and a few text
// functions. Paths use "/".
#include <string>
#include <vector>

// The Windows-style language id of the system default language, derived from the locale:
// zh_CN/zh_SG 0x0804/0x1004, zh_TW 0x0404, zh_HK 0x0C04, zh_MO 0x1404, en 0x0409, and the
// usual ids of a few other languages; C/POSIX and unknown languages count as English (0x0409).
int GetSystemDefaultLangId();
int LangIdOfLocale(const std::string& localeName);  // pure form for tests
bool IsSimplifiedChineseSystem();

// Every command runs from its argument vector as given, down to execve: no command line is
// ever split again, so a quote in a folder name stays in its argument.
using Args = std::vector<std::string>;
// Runs argv (argv[0] the program). "sc", "net", "taskkill", "netsh" and "reg" as argv[0] run
// the tool of the system folder. With capture the result is its output (stdout and stderr);
// without, or when it cannot start, "ERROR". timeoutMs bounds the wait for the output.
constexpr int kDefaultCaptureTimeoutMs = 60000;
std::string RunCommandCapture(const Args& argv, bool capture, int timeoutMs = kDefaultCaptureTimeoutMs);
// Runs the tool with administrator rights and waits. "sc", "net", "taskkill", "netsh" and
// "reg" name the tools of the system folder. 0 when the command exited with 0; otherwise its
// exit status, or -1 when it could not be started.
int RunElevated(const std::string& tool, const Args& args);

bool IsVistaOrLater();
bool IsUacEnabled();            // elevation would ask the user (see NeedsElevation)
bool IsUserInAdministrators();  // root, or a member of sudo/wheel/admin
bool IsAdminByRegQuery();       // the process already has administrator rights (cached)
bool IsServiceAutoStart();      // "sc qc Quarlo" says AUTO_START

std::string GetAppDataDir();  // <application data>/Quarlo (not created)
std::string GetModuleDir();   // folder of the running program, no trailing "/"
// Replaces the program folder for this process (tests lay out language files and defaults).
void SetModuleDirOverride(const std::string& dir);
std::string GetSystemDir();   // the system folder of the service manager and its tools
std::string IntToString(int value);
// Writes name in the per-user folder; length < 0 writes the whole content. True when the file
// exists afterwards.
bool WriteAppDataFile(const std::string& name, const std::string& content, int length);
bool DeleteAppDataFile(const std::string& name);
bool FileExists(const std::string& path);  // can be opened for reading

// The program's e-mail rule (common/email_address.h); false for no text.
bool IsValidEmail(const char* text);
std::string PercentEncodeUtf8(const std::string& utf8);
// "PICTURE", "MUSIC", "VIDEO", "DOCUMENT", "INSTANT" -> the localized folder name; "null" else.
std::string LocalizedFolderName(const std::string& key);
// The part of a data-folder path before its "Quarlo" folder (a whole path component).
std::string DataFolderParent(const std::string& path);

class ILanguages;
// True when running the system tools needs administrator rights: this process is not root and
// may not write the system folder of the service manager.
bool NeedsElevation();
// Shows the notice before an elevated run; the desktop program installs its message box here.
using ElevationNoticeHandler = void (*)(ILanguages* languages, const std::wstring& text);
void SetElevationNoticeHandler(ElevationNoticeHandler handler);
// Runs a command that needs administrator rights: directly when it needs none, else after the
// notice (notice longer than one character, otherwise MESSAGEBOX/MSGBOX_UAC) through the
// elevation helper. True when the command exited with 0.
bool RunMaybeElevated(ILanguages* languages, const std::string& tool, const Args& args,
                      const std::wstring& notice);
