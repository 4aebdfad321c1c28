#include "desktop/foundation/skin_draw.h"

#include <wx/dcmemory.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "desktop/foundation/skin_image.h"

wxBitmap ParentBackdrop(wxWindow* child, double scale) {
  const wxSize size = child->GetClientSize();
  const int w = std::max(1, size.x), h = std::max(1, size.y);
  wxWindow* parent = child->GetParent();
  if (auto* dialog = dynamic_cast<IBackdropSource*>(parent)) {
    const wxBitmap part = dialog->BackdropPixels(wxRect(child->GetPosition(), wxSize(w, h)), scale);
    if (part.IsOk()) return part;
  }
  wxBitmap bmp(static_cast<int>(w * scale), static_cast<int>(h * scale), 32);
  wxMemoryDC dc(bmp);
  dc.SetBackground(wxBrush(parent ? parent->GetBackgroundColour() : *wxWHITE));
  dc.Clear();
  dc.SelectObject(wxNullBitmap);
  return bmp;
}

SkinCanvas::SkinCanvas(wxWindow* control, bool keepBackdrop)
    : m_control(control), m_scale(SkinScale(control)), m_bitmap(ParentBackdrop(control, m_scale)) {
  if (keepBackdrop) m_backdrop = m_bitmap.ConvertToImage();
  m_dc = std::make_unique<wxMemoryDC>(m_bitmap);
  m_gc.reset(wxGraphicsContext::Create(*m_dc));
  m_gc->Scale(m_scale, m_scale);
}

SkinCanvas::~SkinCanvas() = default;

wxColour SkinCanvas::BackdropColour(int x, int y) const {
  if (!m_backdrop.IsOk()) return *wxWHITE;
  const int px = std::clamp(static_cast<int>(x * m_scale), 0, m_backdrop.GetWidth() - 1);
  const int py = std::clamp(static_cast<int>(y * m_scale), 0, m_backdrop.GetHeight() - 1);
  return wxColour(m_backdrop.GetRed(px, py), m_backdrop.GetGreen(px, py), m_backdrop.GetBlue(px, py));
}

void SkinCanvas::PaintOn(wxDC& dc) {
  m_gc.reset();
  m_dc->SelectObject(wxNullBitmap);
  const wxSize size = m_control->GetClientSize();
  std::unique_ptr<wxGraphicsContext> out(wxGraphicsContext::CreateFromUnknownDC(dc));
  if (out) {
    out->DrawBitmap(m_bitmap, 0, 0, std::max(1, size.x), std::max(1, size.y));
  } else {
    dc.DrawBitmap(m_bitmap, 0, 0);
  }
}

bool DrawSkinPicture(wxGraphicsContext& gc, double scale, int id, double x, double y,
                     wxSize* natural) {
  wxImage image, base;
  if (!LoadPngResource(base, id, 1) || !LoadPngResource(image, id, scale)) return false;
  gc.DrawBitmap(wxBitmap(image, 32), x, y, base.GetWidth(), base.GetHeight());
  if (natural) *natural = base.GetSize();
  return true;
}

bool DrawSkinPictureSized(wxGraphicsContext& gc, double scale, int id, const wxRect& rect, int edge) {
  wxImage image, base;
  if (!LoadPngResource(base, id, 1) || !LoadPngResource(image, id, scale)) return false;
  if (rect.GetSize() == base.GetSize()) {
    gc.DrawBitmap(wxBitmap(image, 32), rect.x, rect.y, rect.width, rect.height);
    return true;
  }
  // Nine pieces: corners as they are, edges and middle stretched.
  const int bw = base.GetWidth(), bh = base.GetHeight();
  const int ex = std::min(edge, (bw - 1) / 2), ey = std::min(edge, (bh - 1) / 2);
  const double f = static_cast<double>(image.GetWidth()) / bw;
  const int xs[4] = {0, ex, bw - ex, bw};
  const int ys[4] = {0, ey, bh - ey, bh};
  const int ex2 = std::min(ex, rect.width / 2), ey2 = std::min(ey, rect.height / 2);
  const int xd[4] = {rect.x, rect.x + ex2, rect.x + rect.width - ex2, rect.x + rect.width};
  const int yd[4] = {rect.y, rect.y + ey2, rect.y + rect.height - ey2, rect.y + rect.height};
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 3; ++col) {
      const int sw = xs[col + 1] - xs[col], sh = ys[row + 1] - ys[row];
      const int dw = xd[col + 1] - xd[col], dh = yd[row + 1] - yd[row];
      if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0) continue;
      const wxRect src(static_cast<int>(xs[col] * f), static_cast<int>(ys[row] * f),
                       std::max(1, static_cast<int>(sw * f)), std::max(1, static_cast<int>(sh * f)));
      gc.DrawBitmap(wxBitmap(image.GetSubImage(src), 32), xd[col], yd[row], dw, dh);
    }
  }
  return true;
}

namespace {

// text's first head and last tail characters around an ellipsis, as wide as fits width: the
// tail is kept whole when it fits; else the two shrink together.
wxString EllipsizeMiddle(const wxString& text, size_t tail, double width,
                         const std::function<double(const wxString&)>& measure) {
  const wxString dots = wxString::FromUTF8("\xE2\x80\xA6");
  const size_t length = text.length();
  if (tail > 0 && tail < length && measure(dots + text.Right(tail)) <= width) {
    size_t lo = 0, hi = length - tail;
    while (lo < hi) {
      const size_t mid = (lo + hi + 1) / 2;
      if (measure(text.Left(mid) + dots + text.Right(tail)) <= width) lo = mid;
      else hi = mid - 1;
    }
    return text.Left(lo) + dots + text.Right(tail);
  }
  size_t lo = 0, hi = length;
  while (lo < hi) {
    const size_t mid = (lo + hi + 1) / 2;
    if (measure(text.Left((mid + 1) / 2) + dots + text.Right(mid / 2)) <= width) lo = mid;
    else hi = mid - 1;
  }
  return text.Left((lo + 1) / 2) + dots + text.Right(lo / 2);
}

}  // namespace

wxString EllipsizeText(const wxString& text, double width,
                       const std::function<double(const wxString&)>& measure, EllipsisAt where) {
  if (measure(text) <= width) return text;
  const wxString dots = wxString::FromUTF8("\xE2\x80\xA6");
  if (where == EllipsisAt::Middle) {
    // The last name with its separator ("/Quarlo"); a trailing separator belongs to it.
    size_t end = text.length();
    while (end > 1 && (text[end - 1] == '/' || text[end - 1] == '\\')) --end;
    size_t start = end;
    while (start > 0 && text[start - 1] != '/' && text[start - 1] != '\\') --start;
    const size_t tail = start > 0 ? text.length() - (start - 1) : 0;
    return EllipsizeMiddle(text, tail, width, measure);
  }
  // The longest start that fits with the ellipsis; a partial word is trimmed back to a blank
  // when one is near, so the text ends on a whole word where it can.
  size_t lo = 0, hi = text.length();
  while (lo < hi) {
    const size_t mid = (lo + hi + 1) / 2;
    if (measure(text.Left(mid) + dots) <= width) lo = mid;
    else hi = mid - 1;
  }
  wxString head = text.Left(lo);
  const int blank = head.Find(' ', true);
  if (blank > 0 && lo < text.length() && text[lo] != ' ' && head.length() - static_cast<size_t>(blank) < 8)
    head = head.Left(static_cast<size_t>(blank));
  head.Trim(true);
  return head + dots;
}

namespace {

// The full stops, commas and closing brackets of Chinese text.
bool ClosesALine(wxUniChar c) {
  static const wxString kClosing = wxString::FromUTF8("。，、；：？！）」』》〉】”’");
  return kClosing.Find(c) != wxNOT_FOUND;
}

}  // namespace

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
      // Closing punctuation never starts a line: it goes with what it closes.
      while (j < para.length() && ClosesALine(para[j])) ++j;
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
  auto measure = [&gc](const wxString& s) {
    double w = 0, h = 0;
    gc.GetTextExtent(s, &w, &h);
    return w;
  };
  std::vector<wxString> lines;
  if (format.wrap) {
    lines = WrapText(text, rect.m_width, measure);
  } else {
    for (const wxString& l : wxSplit(text, '\n', '\0')) lines.push_back(l);
  }
  double lineHeight = 0, unused = 0;
  gc.GetTextExtent("Ag", &unused, &lineHeight);
  // Lines below the rectangle are left out; the last one shown says so.
  if (lineHeight > 0 && lines.size() > 1) {
    const size_t fit = std::max<size_t>(1, static_cast<size_t>((rect.m_height + 1) / lineHeight));
    if (fit < lines.size()) {
      lines.resize(fit);
      lines.back() = EllipsizeText(lines.back() + wxString::FromUTF8("\xE2\x80\xA6"), rect.m_width, measure);
    }
  }
  for (wxString& line : lines) line = EllipsizeText(line, rect.m_width, measure);
  const double total = lineHeight * static_cast<double>(lines.size());
  double y = rect.m_y;
  if (format.vertical == TextAlign::Center) y += (rect.m_height - total) / 2;
  if (format.vertical == TextAlign::Far) y += rect.m_height - total;
  gc.PushState();
  gc.Clip(rect.m_x, rect.m_y, rect.m_width, rect.m_height);
  for (const wxString& line : lines) {
    const double w = measure(line);
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
