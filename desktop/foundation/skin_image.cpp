#include "desktop/foundation/skin_image.h"

#include <wx/log.h>
#include <wx/mstream.h>

#include "desktop/foundation/languages.h"
#include "desktop/foundation/skin_resources.h"
#include "desktop/foundation/text_encodings.h"

const SkinResource* FindSkinResource(int id) {
  size_t count = 0;
  const SkinResource* table = SkinResources(count);
  for (size_t i = 0; i < count; ++i)
    if (table[i].id == id) return &table[i];
  return nullptr;
}

bool LoadPngResource(wxImage& out, int id) {
  const SkinResource* r = FindSkinResource(id);
  if (!r || r->size == 0) return false;
  static bool handlers = false;
  if (!handlers) {
    wxImage::AddHandler(new wxPNGHandler);
    handlers = true;
  }
  wxMemoryInputStream in(r->data, r->size);
  wxImage image;
  {
    wxLogNull quiet;  // a damaged picture is simply left out
    if (!image.LoadFile(in, wxBITMAP_TYPE_PNG) || !image.IsOk()) return false;
  }
  if (!image.HasAlpha()) image.InitAlpha();
  out = image;
  return true;
}

wxFont MakeLanguageFont(ILanguages* languages, const std::string& section, bool underline) {
  if (!languages) return wxNullFont;
  const FontInfo* info = languages->GetFont(section);
  if (!info) return wxNullFont;
  // The files give points; a negative height (a pixel height in the old convention) counts by
  // its size.
  const int points = info->height == 0 ? 9 : (info->height < 0 ? -info->height : info->height);
  wxFontInfo fi(points);
  fi.Family(wxFONTFAMILY_SWISS).FaceName(wxString::FromUTF8(WideToUtf8(info->name)));
  fi.Underlined(underline);
  wxFont font(fi);
  if (info->weight > 0 && info->weight <= 1000) font.SetNumericWeight(info->weight);
  return font;
}

wxColour ArgbColour(uint32_t argb) {
  return wxColour(static_cast<unsigned char>((argb >> 16) & 0xFF),
                  static_cast<unsigned char>((argb >> 8) & 0xFF),
                  static_cast<unsigned char>(argb & 0xFF),
                  static_cast<unsigned char>((argb >> 24) & 0xFF));
}
