#pragma once
// Photo auto-sorting: when the AutoTiding switch "TidingByDate" is "1", the pictures of the
// default pictures folder are moved into sub-folders named by their EXIF shot date. A photo
// is never lost, emptied or overwritten: moves are renames that never replace, an identical
// twin (same size and full MD5) already at the target only lets the source go, and files a
// phone may still be writing (modified in the last two minutes, or without the final FFD9
// marker) wait for a later pass.
#include <string>
#include <vector>

struct ExifRecord;

constexpr const char* kTidingTable = "AutoTiding";
constexpr const char* kTidingByDate = "TidingByDate";
constexpr int kTidingPeriodSeconds = 60;
constexpr int kTidingSettleSeconds = 120;  // files younger than this are left alone

// The AutoTiding table of the settings database; 0 or -1 after a database error (logged).
int CreateAutoTidingTable();
int GetTidingStatusByType(const std::string& name, std::string& status);  // no row: "0"
int SetTidingStatusByType(const std::string& name, const std::string& status);  // no row: no-op

// The date folder of an EXIF date and time: "YYYY:MM:DD..." with a real month and day gives
// "YYYY-MM-DD"; anything else "" (the picture stays unsorted).
std::string TidingDateFolder(const char* dateTime);

// Moves one picture into its date folder beside it; 0 moved (or its identical twin kept), -1
// not moved.
int TidingFileByDate(const std::string& picPath, const ExifRecord& record);
// Sorts the listed names of the folder; the number of pictures moved.
int TidingFileList(const std::string& folder, const std::vector<std::string>& names);

// One pass of the task: reads the switch and sorts when it is exactly "1". The number of
// pictures moved, or -1 when the switch could not be read.
int AutoTiding_RunOnce();
// Pool task started at service start-up: a pass at once, then one every period, until the
// exit flag is set (noticed within a fraction of a second).
int StartAutoTiding(void* unused);

// The period between passes: 60 s, or "tiding_seconds=N" of $QUARLO_TEST_SETTINGS (tests).
int Tiding_PeriodSeconds();
