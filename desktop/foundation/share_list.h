#pragma once
// Lists of shared folders: one row per folder, its display name in column 0 and its full path
// in column 1. The functions keep such a list free of duplicates and of system folders.
#include <string>

class IShareList {
 public:
  virtual ~IShareList() = default;
  virtual int RowCount() const = 0;
  virtual std::string RowText(int row, int column) const = 0;
  virtual void InsertRow(int position, const std::string& name, const std::string& path) = 0;
  virtual void DeleteRow(int row) = 0;
};

int FindShareInList(const std::string& path, const IShareList& list);  // row or -1; exact
// False for "/", for a relative path and for anything in or under the system folders, judged
// by canonical path components (links resolved, "..", "." removed).
bool IsAllowedShareFolder(const std::string& path);
std::string FolderDisplayName(const std::string& path);  // the last component; "/" for "/"
// 1 added, -1 already listed, -2 not allowed. position -1 appends.
int AddShareToList(const std::string& path, int position, IShareList& list);
int RemoveShareFromList(IShareList& list, const std::string& path);  // 1, or -1 when absent
