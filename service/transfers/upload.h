#pragma once
// Uploads with resume: opcode 1 announces target, size and fingerprint and learns how much the
// PC already holds; 2 appends data to a hidden temporary file beside the target; 3 ends the
// upload and publishes the file under a name that never overwrites an existing one. The upload
// writer (upload_writer.h) writes the data and publishes; upload_names.h names the files.
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
