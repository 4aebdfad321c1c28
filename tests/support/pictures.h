#pragma once
// Pictures for tests, made on the spot with ImageMagick, libjpeg-turbo's tools and exiftool
// (never downloaded), and the facts those tools report about them.
#include <cstdint>
#include <string>
#include <vector>

// Runs a tool by argv; throws std::runtime_error with its output when it fails.
std::string Tool(const std::vector<std::string>& argv);
// `convert args...` (ImageMagick).
void MakePicture(const std::vector<std::string>& args);
// identify -format <format> path
std::string Identify(const std::string& path, const std::string& format);
// PSNR in dB of b against a, by ImageMagick's compare (inf for identical pictures).
double Psnr(const std::string& a, const std::string& b);

std::vector<uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);

// The payloads of the markers with this code (0xE7 for APP7) up to the scan, in order.
std::vector<std::string> JpegMarkers(const std::vector<uint8_t>& jpeg, uint8_t code);
// Offset of the first marker with this code (the 0xFF byte), or -1.
long FindMarker(const std::vector<uint8_t>& jpeg, uint8_t code);
