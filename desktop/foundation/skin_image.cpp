#include "desktop/foundation/skin_image.h"

#include <wx/fontenum.h>
#include <wx/log.h>
#include <wx/mstream.h>
#include <wx/window.h>

#include <map>
#include <utility>

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

namespace {

bool Decode(wxImage& out, const unsigned char* data, size_t size) {
  if (!data || size == 0) return false;
  static bool handlers = false;
  if (!handlers) {
    wxImage::AddHandler(new wxPNGHandler);
    handlers = true;
  }
  wxMemoryInputStream in(data, size);
  wxImage image;
  {
    wxLogNull quiet;  // a damaged picture is simply left out
    if (!image.LoadFile(in, wxBITMAP_TYPE_PNG) || !image.IsOk()) return false;
  }
  if (!image.HasAlpha()) image.InitAlpha();
  out = image;
  return true;
}

}  // namespace

bool LoadPngResource(wxImage& out, int id, double scale) {
  // Every paint draws its pictures anew, so each is decoded once (main thread only).
  static std::map<std::pair<int, bool>, wxImage> cache;
  const bool twice = scale >= 2;
  const auto key = std::make_pair(id, twice);
  const auto it = cache.find(key);
  if (it != cache.end()) {
    out = it->second;
    return true;
  }
  const SkinResource* r = FindSkinResource(id);
  if (!r) return false;
  wxImage image;
  if (twice) {
    if (!Decode(image, r->data2x, r->size2x)) return LoadPngResource(out, id, 1);
  } else if (!Decode(image, r->data, r->size)) {
    return false;
  }
  cache.emplace(key, image);
  out = image;
  return true;
}

bool LoadPngResource(wxImage& out, int id) { return LoadPngResource(out, id, 1); }

wxBitmap SkinBitmap(int id, double scale) {
  wxImage natural, image;
  if (!LoadPngResource(natural, id, 1) || !LoadPngResource(image, id, scale)) return wxNullBitmap;
  const double factor = static_cast<double>(image.GetWidth()) / natural.GetWidth();
  return wxBitmap(image, 32, factor);
}

wxIconBundle SkinIconBundle(int id) {
  wxIconBundle bundle;
  for (double scale : {1.0, 2.0}) {
    wxImage image;
    if (!LoadPngResource(image, id, scale)) continue;
    wxIcon icon;
    icon.CopyFromBitmap(wxBitmap(image, 32));
    bundle.AddIcon(icon);
  }
  return bundle;
}

double SkinScale(const wxWindow* window) {
  return window && window->GetContentScaleFactor() >= 1.5 ? 2 : 1;
}

namespace {

// The face the language file names when the system has it; otherwise a face with the glyphs
// of the interface language (boxes instead of Chinese are worse than another look).
wxString AvailableFace(const wxString& wanted, int language) {
  static std::map<wxString, bool> known;
  auto has = [](const wxString& face) {
    const auto it = known.find(face);
    if (it != known.end()) return it->second;
    const bool ok = wxFontEnumerator::IsValidFacename(face);
    known[face] = ok;
    return ok;
  };
  if (!wanted.empty() && has(wanted)) return wanted;
  const wxString cjk = language == kLangChineseTraditional ? "Noto Sans CJK TC" : "Noto Sans CJK SC";
  if (language != kLangEnglish && has(cjk)) return cjk;
  return wxString();  // the toolkit's sans-serif, with its own fallbacks
}

}  // namespace

wxFont MakeLanguageFont(ILanguages* languages, const std::string& section, bool underline) {
  if (!languages) return wxNullFont;
  const FontInfo* info = languages->GetFont(section);
  if (!info) return wxNullFont;
  // The files give points; a negative height (a pixel height in the old convention) counts by
  // its size.
  const int points = info->height == 0 ? 9 : (info->height < 0 ? -info->height : info->height);
  wxFontInfo fi(points);
  fi.Family(wxFONTFAMILY_SWISS)
      .FaceName(AvailableFace(wxString::FromUTF8(WideToUtf8(info->name)), languages->GetLanguage()));
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
