#pragma once
// The device identity: at most 63 printable characters, kept in <base>/bin/.uuid and fetched
// once from the central server (command 0x1006) when the file is missing or empty. Every
// failure ends in the empty text; start-up then uses the MAC text (not saved).
#include <string>

constexpr size_t kIdentityMax = 63;

std::string GetDeviceUUID();
std::string ReadUUIDFile();                     // up to 63 bytes, up to the first zero byte
std::string GetUUIDFromSV();                    // "" on any failure or a malformed identity
void WriteUUIDFile(const std::string& identity);  // atomic: temporary file, fsync, rename

std::string UUIDFilePath();  // <base>/bin/.uuid
// The server's text with trailing CR/LF cut; "" unless 1..63 printable ASCII characters.
std::string ValidIdentity(const std::string& text);
