#pragma once
// A folder shortcut in the computer namespace becomes one line "file://<folder> <label>" in
// the user's GTK bookmarks ($XDG_CONFIG_HOME/gtk-3.0/bookmarks, else ~/.config/...), which the
// file managers show beside the drives. The file is rewritten atomically (temp + rename); the
// lines of others are kept as they are.
#include <string>
#include <vector>

// "file://" and the absolute path, every byte but unreserved ones and "/" percent-encoded.
std::string Plat_FileUri(const std::string& absolutePath);

// The bookmarks file of the current user.
std::string Plat_BookmarksPath();

// The new content of a bookmarks file: every line of content kept in order, except those whose
// location names one of the folders of replacedFolders (compared percent-decoded), then
// newLine. Pure: the fuzz target drives it.
std::string Plat_RewriteBookmarks(const std::string& content,
                                  const std::vector<std::string>& replacedFolders,
                                  const std::string& newLine);

// Makes the bookmark of folder with label the only one of ours: a line for folder or for
// previousFolder (the folder of our earlier bookmark, may be empty) is replaced. 0, or -1 with
// the reason in error.
int Plat_SetFolderBookmark(const std::string& folder, const std::string& label,
                           const std::string& previousFolder, std::string& error);
