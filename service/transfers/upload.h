#pragma once
// Uploads with resume: opcode 1 announces target, size and fingerprint and learns how much the
// PC already holds; 2 appends data to a hidden temporary file beside the target; 3 ends the
// upload and publishes the file under a name that never overwrites an existing one.
#include <string>

#include "common/opcode_registry.h"

constexpr uint16_t kOpReqUpLoadFile = 0x0001;
constexpr uint16_t kOpUpLoadFile = 0x0002;
constexpr uint16_t kOpOverUpLoadFile = 0x0003;
constexpr uint16_t kOpUploadAllow = 0x1001;
constexpr uint16_t kOpUploadRefused = 0x1011;

int ReqUpLoadFile(const char* body, const CommandHeader* header, bufferevent* conn,
                  char** reply, int* replyLen, int* udtSock, char* direct);
int UpLoadFile(const char* body, const CommandHeader* header, bufferevent* conn,
               char** reply, int* replyLen, int* udtSock, char* direct);
int OverUpLoadFile(const char* body, const CommandHeader* header, bufferevent* conn,
                   char** reply, int* replyLen, int* udtSock, char* direct);

// Upload data and end messages of command connections are written and published by the upload
// writer, off the event threads. Waits until what was queued before the call is done (the stop
// path, before the transfer log's last rows).
void Upload_Flush();
// Tests: runs on the upload writer before each piece of work (null: none); the most data one
// upload ever had waiting for the writer.
void Upload_SetBeforeWriteHook(void (*hook)());
size_t Upload_PeakQueued();

std::string RenameUploadFile(const std::string& tmpPath, const std::string& target);
