#pragma once
// Loading skin pictures and making fonts from the language file's font sections.
#include <wx/font.h>
#include <wx/colour.h>
#include <wx/image.h>

#include <cstdint>
#include <string>

class ILanguages;

// Decodes PNG resource id into out; false (out untouched) when it is missing or broken.
bool LoadPngResource(wxImage& out, int id);
// A font from the section's record ("FONT_DEFAULT" as fallback); wxNullFont when neither.
wxFont MakeLanguageFont(ILanguages* languages, const std::string& section, bool underline);
// 0xAARRGGBB to a wx colour.
wxColour ArgbColour(uint32_t argb);
