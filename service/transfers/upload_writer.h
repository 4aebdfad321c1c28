#pragma once
// The upload writer: one thread that writes the data of uploads over command connections in
// the order it came and publishes the uploads that ended, so a slow disk never holds up an
// event thread. Also the state of open uploads that the request handlers share with it.
// Lock order: the decision mutex, then g_MutexTransMap, then an upload pipe's own mutex.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/unique_fd.h"
#include "service/transfers/transfer_sessions.h"

struct bufferevent;
class COrderedWorker;

// The upload's folder, opened beneath its share once the share check passed: every file of the
// upload (temporary, side file, target) is made, read, renamed and removed beside this
// descriptor, never by a name that a swapped link could lead elsewhere.
using FolderRef = std::shared_ptr<const UniqueFd>;

// What the writer needs of one upload, shared with its queued pieces: they may run after the
// upload's entry (and its own file) closed.
struct UploadPipe {
  UniqueFd fd;  // a duplicate of the temporary file's descriptor, so it never names another file
  std::string tmpPath;
  std::string target;
  FolderRef folder;
  std::mutex mutex;
  size_t queued = 0;        // bytes handed to the writer and not yet written
  uint64_t holdToken = 0;   // the held connection, released below the low mark
  // The writer's own: the length of the temporary file known good, and whether a write failed
  // (then nothing more is appended: a resume goes on from what is there).
  uint64_t landed = 0;
  bool failed = false;
};

// What the map's entry cannot hold: the announced size, how much of the temporary file is
// known good, and whether a write failed. Kept under g_MutexTransMap beside the entry of the
// same id, and believed only while that entry still holds the same file.
struct UploadState {
  FILE* file = nullptr;
  std::string tmpPath;
  FolderRef folder;
  uint32_t announced = 0;
  uint64_t serial = 0;          // tells this upload from a later one under the same id
  std::shared_ptr<UploadPipe> pipe;  // set with the first data queued for the writer
  uint64_t accepted = 0;        // bytes taken in: written, or queued for the writer
  uint64_t goodLength = 0;      // bytes of the temporary file that really landed
  bool writeFailed = false;     // the file takes no more data
  bool overrun = false;         // data beyond the announced size came and was refused
  bool alreadyPresent = false;  // the target already holds this content; nothing to publish
};
// Under g_MutexTransMap: the open uploads' state by session id, and the uploads whose end
// message came and whose publishing waits on the writer (target and temporary path).
extern std::map<uint32_t, UploadState> g_uploads;
extern std::multimap<uint32_t, std::pair<std::string, std::string>> g_ending;

// Serialises the upload decisions (which temporary and side files to make, keep or delete)
// with the removals at an upload's end, so two phones never act on each other's files.
std::mutex& UploadDecisionMutex();
// Whether another open or ending upload still works on files of this target. Under
// g_MutexTransMap.
bool TargetBusyLocked(const std::string& target, uint32_t exceptId);
// Stops an upload whose write failed from taking more data and cuts its file back to what
// really landed, so a resume continues from bytes that are there. Under g_MutexTransMap.
void FailUploadLocked(UploadState& state, const std::string& tmpPath, const std::string& target);

COrderedWorker& UploadWriter();
// Hands n bytes of the upload `serial` to the writer. A connection whose queued data passes
// the high mark is held (its later messages wait, unread, in the socket) until the writer has
// brought it below the low mark.
void UploadWriter_Queue(uint32_t sessionId, uint64_t serial,
                        const std::shared_ptr<UploadPipe>& pipe, const char* data, size_t n,
                        bufferevent* conn, int udt, char direct);

// An upload taken out of the map by its end message, to be published (or kept for a resume).
struct EndingUpload {
  uint32_t sessionId = 0;
  TransferEntry entry;
  UploadState state;
  bool haveState = false;
  bool recorded = false;  // listed in g_ending until it is done
};
// Takes the upload out of the map; false when conn and udt hold no such upload. Under
// g_MutexTransMap.
bool TakeUploadLocked(uint32_t sessionId, bufferevent* conn, int udt, EndingUpload& out);
// Publishes an ended upload whole, or keeps its temporary file for a resume. Under the
// decision mutex, not the map's.
void FinishUpload(uint8_t status, EndingUpload& ending);

// Waits until what was queued before the call is done (the stop path, before the transfer
// log's last rows).
void Upload_Flush();
// Tests: runs on the upload writer before each piece of work (null: none); the most data one
// upload ever had waiting for the writer.
void Upload_SetBeforeWriteHook(void (*hook)());
size_t Upload_PeakQueued();
