#include "desktop/foundation/skin_draw.h"

#include <wx/dcmemory.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "desktop/foundation/diy_dialog.h"

wxBitmap ParentBackdrop(wxWindow* child) {
  const wxSize size = child->GetClientSize();
  const int w = std::max(1, size.x), h = std::max(1, size.y);
  wxWindow* parent = child->GetParent();
  if (auto* dialog = dynamic_cast<CDiyDialog*>(parent)) {
    const wxBitmap part = dialog->BackdropFor(wxRect(child->GetPosition(), wxSize(w, h)));
    if (part.IsOk()) return part;
  }
  wxBitmap bmp(w, h, 32);
  wxMemoryDC dc(bmp);
  dc.SetBackground(wxBrush(parent ? parent->GetBackgroundColour() : *wxWHITE));
  dc.Clear();
  dc.SelectObject(wxNullBitmap);
  return bmp;
}

std::vector<wxString> WrapText(const wxString& text, double width,
                               const std::function<double(const wxString&)>& measure) {
  std::vector<wxString> lines;
  const wxArrayString paragraphs = wxSplit(text, '\n', '\0');
  for (const wxString& para : paragraphs) {
    wxString line;
    size_t i = 0;
    while (i < para.length()) {
      // The next piece: a word with its following blank, or one character that is not Latin.
      size_t j = i;
      if (para[i] < 0x2E80) {
        while (j < para.length() && para[j] != ' ' && para[j] < 0x2E80) ++j;
        while (j < para.length() && para[j] == ' ') ++j;
        if (j == i) ++j;
      } else {
        ++j;
      }
      const wxString piece = para.Mid(i, j - i);
      if (!line.empty() && measure(line + piece) > width) {
        lines.push_back(line.Trim(true));
        line.clear();
      }
      // A piece wider than the line on its own is broken by characters.
      if (line.empty() && measure(piece) > width && piece.length() > 1) {
        size_t k = 0;
        while (k < piece.length()) {
          wxString chunk;
          while (k < piece.length() && (chunk.empty() || measure(chunk + piece[k]) <= width)) {
            chunk += piece[k];
            ++k;
          }
          if (k < piece.length()) {
            lines.push_back(chunk);
          } else {
            line = chunk;
          }
        }
      } else {
        line += piece;
      }
      i = j;
    }
    lines.push_back(line.Trim(true));
  }
  return lines;
}

void DrawTextInRect(wxGraphicsContext& gc, const wxString& text, const wxRect2DDouble& rect,
                    const TextFormat& format) {
  std::vector<wxString> lines;
  if (format.wrap) {
    lines = WrapText(text, rect.m_width, [&gc](const wxString& s) {
      double w = 0, h = 0;
      gc.GetTextExtent(s, &w, &h);
      return w;
    });
  } else {
    for (const wxString& l : wxSplit(text, '\n', '\0')) lines.push_back(l);
  }
  double lineHeight = 0, unused = 0;
  gc.GetTextExtent("Ag", &unused, &lineHeight);
  const double total = lineHeight * static_cast<double>(lines.size());
  double y = rect.m_y;
  if (format.vertical == TextAlign::Center) y += (rect.m_height - total) / 2;
  if (format.vertical == TextAlign::Far) y += rect.m_height - total;
  gc.PushState();
  gc.Clip(rect.m_x, rect.m_y, rect.m_width, rect.m_height);
  for (const wxString& line : lines) {
    double w = 0, h = 0;
    gc.GetTextExtent(line, &w, &h);
    double x = rect.m_x;
    if (format.horizontal == TextAlign::Center) x += (rect.m_width - w) / 2;
    if (format.horizontal == TextAlign::Far) x += rect.m_width - w;
    gc.DrawText(line, std::floor(x), std::floor(y));
    y += lineHeight;
  }
  gc.PopState();
}

wxSize MeasureText(const wxString& text, const wxFont& font) {
  wxBitmap bmp(1, 1, 32);
  wxMemoryDC dc(bmp);
  std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(dc));
  if (!gc) return wxSize(0, 0);
  gc->SetFont(font.IsOk() ? font : *wxNORMAL_FONT, *wxBLACK);
  double maxW = 0, lineH = 0, unused = 0;
  gc->GetTextExtent("Ag", &unused, &lineH);
  const wxArrayString lines = wxSplit(text, '\n', '\0');
  for (const wxString& l : lines) {
    double w = 0, h = 0;
    gc->GetTextExtent(l, &w, &h);
    maxW = std::max(maxW, w);
  }
  return wxSize(static_cast<int>(maxW), static_cast<int>(lineH * static_cast<double>(lines.size())));
}
