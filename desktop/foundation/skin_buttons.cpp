#include "desktop/foundation/skin_buttons.h"

#include <wx/dcbuffer.h>
#include <wx/dcmemory.h>
#include <wx/graphics.h>

#include <memory>

#include "desktop/foundation/skin_draw.h"
#include "desktop/foundation/skin_image.h"

namespace {

constexpr uint32_t kDisabledText = 0xFF7F7F7F;

void SendCommand(wxWindow* source, wxEventType type, int intValue = 0) {
  wxCommandEvent event(type, source->GetId());
  event.SetEventObject(source);
  event.SetInt(intValue);
  source->ProcessWindowEvent(event);
}

// Draws picture id at (x, y) at its natural size; false when it does not load.
bool DrawPng(wxGraphicsContext& gc, int id, double x, double y, wxSize* size = nullptr) {
  wxImage image;
  if (!LoadPngResource(image, id)) return false;
  gc.DrawBitmap(wxBitmap(image, 32), x, y, image.GetWidth(), image.GetHeight());
  if (size) *size = image.GetSize();
  return true;
}

}  // namespace

CSkinControl::CSkinControl(wxWindow* parent, int id, const wxPoint& pos, const wxSize& size)
    : wxControl(parent, id, pos, size, wxBORDER_NONE) {
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  // The look under the pointer is chosen at paint time; entering and leaving repaint.
  Bind(wxEVT_ENTER_WINDOW, [this](wxMouseEvent& e) { Refresh(false); e.Skip(); });
  Bind(wxEVT_LEAVE_WINDOW, [this](wxMouseEvent& e) { Refresh(false); e.Skip(); });
}

bool CSkinControl::PointerInside() const {
  return GetScreenRect().Contains(wxGetMousePosition());
}

int ChooseButtonImage(bool enabled, bool pressed, bool pointerInside, int normal, int hover,
                      int pressedImage, int disabled) {
  if (!enabled) return disabled;
  if (pressed) return pointerInside ? pressedImage : hover;
  return pointerInside ? hover : normal;
}

CColorButton::CColorButton(wxWindow* parent, int id, const wxPoint& pos, const wxSize& size)
    : CSkinControl(parent, id, pos, size) {
  Bind(wxEVT_PAINT, &CColorButton::OnPaint, this);
  Bind(wxEVT_LEFT_DOWN, &CColorButton::OnLeftDown, this);
  Bind(wxEVT_LEFT_DCLICK, &CColorButton::OnLeftDown, this);
  Bind(wxEVT_LEFT_UP, &CColorButton::OnLeftUp, this);
  Bind(wxEVT_MOTION, [this](wxMouseEvent& e) {
    if (m_pressed) Refresh(false);
    e.Skip();
  });
  Bind(wxEVT_MOUSE_CAPTURE_LOST, [this](wxMouseCaptureLostEvent&) {
    m_pressed = 0;
    Refresh(false);
  });
}

void CColorButton::SetText(const wxString& caption) {
  m_caption = (m_style == kCheck && !caption.empty()) ? " " + caption : caption;
  Refresh(false);
}

void CColorButton::SetCheck(bool checked) {
  m_checked = checked;
  Refresh(false);
}

void CColorButton::OnLeftDown(wxMouseEvent&) {
  if (!IsEnabled()) return;
  m_pressed = 1;
  if (!HasCapture()) CaptureMouse();
  Refresh(false);
}

void CColorButton::OnLeftUp(wxMouseEvent& event) {
  const bool wasPressed = m_pressed != 0;
  m_pressed = 0;
  if (HasCapture()) ReleaseMouse();
  Refresh(false);
  if (wasPressed && wxRect(GetClientSize()).Contains(event.GetPosition())) Clicked();
}

void CColorButton::Clicked() {
  switch (m_style) {
    case kCheck:
      SetCheck(!m_checked);
      SendCommand(this, wxEVT_CHECKBOX, m_checked ? 1 : 0);
      break;
    case kRadio:
      // One radio of a parent is selected at a time.
      for (wxWindow* sibling : GetParent()->GetChildren()) {
        auto* radio = dynamic_cast<CColorButton*>(sibling);
        if (radio && radio != this && radio->m_style == kRadio) radio->SetCheck(false);
      }
      SetCheck(true);
      SendCommand(this, wxEVT_RADIOBUTTON, 1);
      break;
    default:
      SendCommand(this, wxEVT_BUTTON);
  }
}

void CColorButton::OnPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  const wxSize size = GetClientSize();
  wxBitmap canvas;
  if (m_style == kPush) {
    const int id = ChooseButtonImage(IsEnabled(), m_pressed != 0, PointerInside(), m_normalImage,
                                     m_hoverImage, m_pressedImage, m_disabledImage);
    wxImage image;
    // Without its picture the button draws nothing, its caption included.
    if (!LoadPngResource(image, id)) {
      dc.DrawBitmap(ParentBackdrop(this), 0, 0);
      return;
    }
    // The picture goes over the dialog's background so its transparent corners blend.
    canvas = ParentBackdrop(this);
    wxMemoryDC mdc(canvas);
    std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(mdc));
    gc->DrawBitmap(wxBitmap(image, 32), 0, 0, image.GetWidth(), image.GetHeight());
    if (m_textFont.IsOk()) {
      gc->SetFont(m_textFont, ArgbColour(IsEnabled() ? m_textColour : kDisabledText));
      DrawTextInRect(*gc, m_caption, wxRect2DDouble(0, 0, size.x, size.y),
                     TextFormat{TextAlign::Center, TextAlign::Center, false});
    }
    gc.reset();
    mdc.SelectObject(wxNullBitmap);
  } else if (m_style == kRadio || m_style == kCheck) {
    canvas = ParentBackdrop(this);
    wxMemoryDC mdc(canvas);
    std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(mdc));
    if (m_style == kRadio) {
      wxImage mark;
      if (LoadPngResource(mark, m_checked ? 222 : 223)) {
        gc->DrawBitmap(wxBitmap(mark, 32), 0, ((size.y - mark.GetHeight()) >> 1) + 1,
                       mark.GetWidth(), mark.GetHeight());
      }
    } else {
      // The box sits on one flat colour: the background's colour near the right end.
      wxImage back = canvas.ConvertToImage();
      const int px = std::max(0, std::min(size.x - 10, back.GetWidth() - 1));
      const int py = std::max(0, std::min(size.y / 2, back.GetHeight() - 1));
      const wxColour flat = back.IsOk() ? wxColour(back.GetRed(px, py), back.GetGreen(px, py),
                                                   back.GetBlue(px, py))
                                        : *wxBLACK;
      gc->SetBrush(wxBrush(flat));
      gc->SetPen(*wxTRANSPARENT_PEN);
      gc->DrawRectangle(0, 0, size.x, size.y);
      DrawPng(*gc, 388, 1, (size.y - 15) / 2);
      if (m_checked) DrawPng(*gc, 389, 4, (size.y - 9) / 2);
    }
    if (m_textFont.IsOk()) {
      gc->SetFont(m_textFont, ArgbColour(m_textColour));
      DrawTextInRect(*gc, m_caption, wxRect2DDouble(16, 0, size.x - 16, size.y),
                     TextFormat{TextAlign::Near, TextAlign::Center, false});
    }
    gc.reset();
    mdc.SelectObject(wxNullBitmap);
  } else {
    return;
  }
  dc.DrawBitmap(canvas, 0, 0);
}

CTransparentButton::CTransparentButton(wxWindow* parent, int id, const wxPoint& pos,
                                       const wxSize& size)
    : CSkinControl(parent, id, pos, size) {
  Bind(wxEVT_PAINT, &CTransparentButton::OnPaint, this);
  // A quick second click arrives as a double click; it is a click all the same.
  Bind(wxEVT_LEFT_DOWN, [this](wxMouseEvent&) { m_down = true; });
  Bind(wxEVT_LEFT_DCLICK, [this](wxMouseEvent&) { m_down = true; });
  Bind(wxEVT_LEFT_UP, [this](wxMouseEvent& e) {
    if (m_down && wxRect(GetClientSize()).Contains(e.GetPosition())) SendCommand(this, wxEVT_BUTTON);
    m_down = false;
  });
}

void CTransparentButton::OnPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  wxBitmap canvas = ParentBackdrop(this);
  const int id = !IsEnabled() ? m_disabledImage : PointerInside() ? m_hoverImage : m_normalImage;
  wxImage image;
  if (LoadPngResource(image, id)) {
    wxMemoryDC mdc(canvas);
    std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(mdc));
    const wxSize size = GetClientSize();
    gc->DrawBitmap(wxBitmap(image, 32), (size.x - image.GetWidth()) / 2,
                   (size.y - image.GetHeight()) / 2, image.GetWidth(), image.GetHeight());
    gc.reset();
    mdc.SelectObject(wxNullBitmap);
  }
  dc.DrawBitmap(canvas, 0, 0);
}

CLinkButtonCtrl::CLinkButtonCtrl(wxWindow* parent, int id, const wxPoint& pos, const wxSize& size)
    : CSkinControl(parent, id, pos, size) {
  SetCursor(wxCursor(wxCURSOR_HAND));
  Bind(wxEVT_PAINT, &CLinkButtonCtrl::OnPaint, this);
  // A quick second click arrives as a double click; it is a click all the same.
  Bind(wxEVT_LEFT_DOWN, [this](wxMouseEvent&) { m_down = true; });
  Bind(wxEVT_LEFT_DCLICK, [this](wxMouseEvent&) { m_down = true; });
  Bind(wxEVT_LEFT_UP, [this](wxMouseEvent& e) {
    if (m_down && wxRect(GetClientSize()).Contains(e.GetPosition())) SendCommand(this, wxEVT_BUTTON);
    m_down = false;
  });
}

wxSize CLinkButtonCtrl::MeasureTextSize(const wxString& text) const {
  return MeasureText(text, m_textFont);
}

void CLinkButtonCtrl::OnPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  wxBitmap canvas = ParentBackdrop(this);  // fresh every paint: old texts never pile up
  wxMemoryDC mdc(canvas);
  std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(mdc));
  const wxString text = GetLabel();
  const wxSize s1 = MeasureTextSize(text);
  const wxSize s2 = m_linkText.empty() ? s1 : MeasureTextSize(text + m_linkText);
  if (m_fill) {
    gc->SetBrush(wxBrush(ArgbColour(m_fillColour)));
    gc->SetPen(*wxTRANSPARENT_PEN);
    gc->DrawRectangle(0, 0, s2.x + 4, s2.y - 1);
  }
  if (m_border) {
    gc->SetBrush(*wxTRANSPARENT_BRUSH);
    gc->SetPen(wxPen(ArgbColour(m_borderColour), 1));
    gc->DrawRectangle(0, 0, s2.x + 4, s2.y - 1);
    gc->SetPen(wxPen(ArgbColour(0xFFEBECEE), 1));
    gc->StrokeLine(1, 1, s2.x + 3, 1);
  }
  if (m_textFont.IsOk()) {
    gc->SetFont(m_textFont, ArgbColour(m_textColour));
    gc->DrawText(text, 2, 0);
    if (!m_linkText.empty()) {
      const uint32_t link = 0xFF1171D4;
      gc->SetFont(m_textFont, ArgbColour(link));
      gc->DrawText(m_linkText, s1.x, 0);
      wxPen pen(ArgbColour(link), 1);
      gc->SetPen(gc->CreatePen(wxGraphicsPenInfo(ArgbColour(link)).Width(1.5)));
      gc->StrokeLine(s1.x + 3, s2.y - 2.5, s2.x, s2.y - 2.5);
    }
  }
  gc.reset();
  mdc.SelectObject(wxNullBitmap);
  dc.DrawBitmap(canvas, 0, 0);
}

CSettingButton::CSettingButton(wxWindow* parent, int id, const wxPoint& pos, const wxSize& size)
    : CSkinControl(parent, id, pos, size) {
  Bind(wxEVT_PAINT, &CSettingButton::OnPaint, this);
  // A quick second click arrives as a double click; it is a click all the same.
  Bind(wxEVT_LEFT_DOWN, [this](wxMouseEvent&) { m_down = true; });
  Bind(wxEVT_LEFT_DCLICK, [this](wxMouseEvent&) { m_down = true; });
  Bind(wxEVT_LEFT_UP, [this](wxMouseEvent& e) {
    if (m_down && wxRect(GetClientSize()).Contains(e.GetPosition())) SendCommand(this, wxEVT_BUTTON);
    m_down = false;
  });
}

uint32_t CSettingButton::CaptionColour(bool pointerInside) {
  return pointerInside ? 0xFF000000 : 0xFF41799C;
}

void CSettingButton::OnPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  const wxSize size = GetClientSize();
  wxBitmap canvas = ParentBackdrop(this);
  wxMemoryDC mdc(canvas);
  std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(mdc));
  if (m_lightFace) {
    gc->SetBrush(wxBrush(ArgbColour(0xFFEFF4FF)));
    gc->SetPen(*wxTRANSPARENT_PEN);
    gc->DrawRectangle(0, 0, size.x, size.y);
  } else {
    DrawPng(*gc, m_faceImage, 0, 0);
  }
  wxImage icon;
  const bool hasIcon = LoadPngResource(icon, m_iconImage);
  const int iw = hasIcon ? icon.GetWidth() : 0;
  const int tw = MeasureText(m_caption, m_textFont).x;
  const int x = static_cast<int>((size.x - iw - 4 - tw) * 0.5);
  if (hasIcon)
    gc->DrawBitmap(wxBitmap(icon, 32), x, (size.y - icon.GetHeight()) / 2, iw, icon.GetHeight());
  if (m_textFont.IsOk()) {
    gc->SetFont(m_textFont, ArgbColour(CaptionColour(PointerInside())));
    DrawTextInRect(*gc, m_caption, wxRect2DDouble(x + iw + 4, 0, size.x - (x + iw + 4), size.y),
                   TextFormat{TextAlign::Near, TextAlign::Center, false});
  }
  gc.reset();
  mdc.SelectObject(wxNullBitmap);
  dc.DrawBitmap(canvas, 0, 0);
}
