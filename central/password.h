#pragma once
// Account secrets of the central server. A PC logs on with the 22-character MD5-crypt text of
// the user's password ("$1$bramle$" setting, prefix cut); that text works as a password, so it
// is stored only as a slow salted yescrypt hash of it and compared in constant time.
#include <string>

// The text a PC sends for a typed password; "" when libcrypt refuses.
std::string PcPasswordText(const std::string& password);
// A fresh yescrypt hash of the PC's text; "" on failure.
std::string HashSecret(const std::string& pcText);
// Whether the PC's text matches the stored hash (constant time over the hash's length).
bool VerifySecret(const std::string& pcText, const std::string& storedHash);
// Costs what a real verification costs, so an unknown account answers as slowly as a known one.
void VerifyAgainstDummy(const std::string& pcText);
// A keyed digest of a PC's text (the key random for this process): what a recently accepted
// text is remembered by, so that no copy of the text stays in memory. "" on failure.
std::string QuickDigest(const std::string& pcText);
