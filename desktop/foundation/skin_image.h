#pragma once
// Loading skin pictures and making fonts from the language file's font sections.
#include <wx/bitmap.h>
#include <wx/font.h>
#include <wx/colour.h>
#include <wx/iconbndl.h>
#include <wx/image.h>

#include <cstdint>
#include <string>

class ILanguages;
class wxWindow;

// Decodes PNG resource id at its natural size into out; false (out untouched) when it is
// missing or broken.
bool LoadPngResource(wxImage& out, int id);
// The same picture for a skin scale: at scale 2 the 2x drawing (twice the natural size in
// pixels), else the natural one.
bool LoadPngResource(wxImage& out, int id, double scale);
// The picture as a bitmap for a window of that skin scale; its logical size is the natural size
// (menus, icons). wxNullBitmap when it is missing.
wxBitmap SkinBitmap(int id, double scale);
// Picture id at 1x and 2x as the icons of a window (SetIcons) or a tray icon; empty when it is
// missing. The window icon is 128 (48 pixels), the tray icons are 24 pixels.
wxIconBundle SkinIconBundle(int id);
// The scale the skin is drawn at in window: 2 on a HiDPI screen (content scale 1.5 or more),
// else 1.
double SkinScale(const wxWindow* window);
// A font from the section's record ("FONT_DEFAULT" as fallback); wxNullFont when neither. The
// face is the file's when the system has it, else one with the interface language's glyphs.
wxFont MakeLanguageFont(ILanguages* languages, const std::string& section, bool underline);
// 0xAARRGGBB to a wx colour.
wxColour ArgbColour(uint32_t argb);
