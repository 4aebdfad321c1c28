#include "desktop/foundation/skin_buttons.h"

#include <wx/dcbuffer.h>
#include <wx/dcmemory.h>
#include <wx/graphics.h>

#include <gtk/gtk.h>

#include <algorithm>
#include <map>
#include <memory>

#include "desktop/foundation/skin_draw.h"
#include "desktop/foundation/skin_image.h"

namespace {

constexpr uint32_t kDisabledText = 0xFF7F7F7F;
constexpr uint32_t kFocusRing = 0xFF2A78D0;

void SendCommand(wxWindow* source, wxEventType type, int intValue = 0) {
  wxCommandEvent event(type, source->GetId());
  event.SetEventObject(source);
  event.SetInt(intValue);
  source->ProcessWindowEvent(event);
}

AtkRole AtkRoleOf(SkinRole role) {
  switch (role) {
    case SkinRole::PushButton: return ATK_ROLE_PUSH_BUTTON;
    case SkinRole::CheckBox: return ATK_ROLE_CHECK_BOX;
    case SkinRole::RadioButton: return ATK_ROLE_RADIO_BUTTON;
    case SkinRole::Link: return ATK_ROLE_LINK;
    case SkinRole::ComboBox: return ATK_ROLE_COMBO_BOX;
    case SkinRole::Label: break;
  }
  return ATK_ROLE_LABEL;
}

// GTK computes an accessible's states in its class; the widgets of wx windows share one class
// with no notion of "checked". The class's state function is wrapped once: objects marked by a
// skinned check box or radio get CHECKABLE, and CHECKED when ticked; all others are untouched.
GQuark CheckMark() {
  static const GQuark quark = g_quark_from_static_string("quarlo-skin-check");
  return quark;
}

using StateSetFn = AtkStateSet* (*)(AtkObject*);
std::map<GType, StateSetFn>& WrappedClasses() {
  static std::map<GType, StateSetFn> classes;
  return classes;
}

AtkStateSet* StatesWithCheck(AtkObject* object) {
  StateSetFn original = nullptr;
  for (GType t = G_OBJECT_TYPE(object); t != 0 && !original; t = g_type_parent(t)) {
    const auto it = WrappedClasses().find(t);
    if (it != WrappedClasses().end()) original = it->second;
  }
  AtkStateSet* states = original ? original(object) : atk_state_set_new();
  const int mark = GPOINTER_TO_INT(g_object_get_qdata(G_OBJECT(object), CheckMark()));
  if (mark != 0) {
    atk_state_set_add_state(states, ATK_STATE_CHECKABLE);
    if (mark == 2) atk_state_set_add_state(states, ATK_STATE_CHECKED);
  }
  return states;
}

void MarkChecked(AtkObject* atk, bool checkable, bool checked) {
  AtkObjectClass* klass = ATK_OBJECT_GET_CLASS(atk);
  if (klass->ref_state_set != &StatesWithCheck) {
    WrappedClasses()[G_OBJECT_CLASS_TYPE(klass)] = klass->ref_state_set;
    klass->ref_state_set = &StatesWithCheck;
  }
  const int mark = checkable ? (checked ? 2 : 1) : 0;
  const int before = GPOINTER_TO_INT(g_object_get_qdata(G_OBJECT(atk), CheckMark()));
  g_object_set_qdata(G_OBJECT(atk), CheckMark(), GINT_TO_POINTER(mark));
  if ((before == 2) != (mark == 2)) atk_object_notify_state_change(atk, ATK_STATE_CHECKED, mark == 2);
}

}  // namespace

CSkinControl::CSkinControl(wxWindow* parent, int id, const wxPoint& pos, const wxSize& size,
                           SkinRole role)
    : wxControl(parent, id, pos, size, wxBORDER_NONE), m_role(role) {
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  // The look under the pointer is chosen at paint time; entering and leaving repaint.
  Bind(wxEVT_ENTER_WINDOW, [this](wxMouseEvent& e) { Refresh(false); e.Skip(); });
  Bind(wxEVT_LEAVE_WINDOW, [this](wxMouseEvent& e) { Refresh(false); e.Skip(); });
  // The focus ring comes and goes.
  Bind(wxEVT_SET_FOCUS, [this](wxFocusEvent& e) { Refresh(false); e.Skip(); });
  Bind(wxEVT_KILL_FOCUS, [this](wxFocusEvent& e) { Refresh(false); e.Skip(); });
  // Space acts on the focused control; Enter is seen by the dialog first (its default button)
  // and handed to the focused control there.
  Bind(wxEVT_KEY_DOWN, [this](wxKeyEvent& e) {
    if ((e.GetKeyCode() == WXK_SPACE || e.GetKeyCode() == WXK_RETURN ||
         e.GetKeyCode() == WXK_NUMPAD_ENTER) && !e.HasAnyModifiers() && IsEnabled() && Activate())
      return;
    e.Skip();
  });
  if (role == SkinRole::Label) SetCanFocus(false);
  UpdateAccessible();
}

bool CSkinControl::PointerInside() const {
  return GetScreenRect().Contains(wxGetMousePosition());
}

void CSkinControl::SetAccessibleName(const wxString& name) {
  m_accessibleName = name;
  UpdateAccessible();
}

wxString CSkinControl::AccessibleName() const {
  return m_accessibleName.empty() ? CaptionForAccessibility() : m_accessibleName;
}

void CSkinControl::UpdateAccessible() {
  GtkWidget* widget = GetHandle();
  if (!widget) return;
  AtkObject* atk = gtk_widget_get_accessible(widget);
  if (!atk) return;
  atk_object_set_role(atk, AtkRoleOf(Role()));
  atk_object_set_name(atk, AccessibleName().utf8_str());
  const bool checkable = Role() == SkinRole::CheckBox || Role() == SkinRole::RadioButton;
  if (checkable || g_object_get_qdata(G_OBJECT(atk), CheckMark())) MarkChecked(atk, checkable, IsChecked());
}

void CSkinControl::DrawFocusRing(wxGraphicsContext& gc, const wxRect& rect) const {
  if (!HasFocus() || rect.width < 4 || rect.height < 4) return;
  gc.SetBrush(*wxTRANSPARENT_BRUSH);
  gc.SetPen(gc.CreatePen(wxGraphicsPenInfo(ArgbColour(kFocusRing)).Width(1.5)));
  gc.DrawRoundedRectangle(rect.x + 1, rect.y + 1, rect.width - 2, rect.height - 2, 3);
}

int ChooseButtonImage(bool enabled, bool pressed, bool pointerInside, int normal, int hover,
                      int pressedImage, int disabled) {
  if (!enabled) return disabled;
  if (pressed) return pointerInside ? pressedImage : hover;
  return pointerInside ? hover : normal;
}

CColorButton::CColorButton(wxWindow* parent, int id, const wxPoint& pos, const wxSize& size)
    : CSkinControl(parent, id, pos, size, SkinRole::PushButton) {
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

SkinRole CColorButton::Role() const {
  switch (m_style) {
    case kRadio: return SkinRole::RadioButton;
    case kCheck: return SkinRole::CheckBox;
    default: return SkinRole::PushButton;
  }
}

void CColorButton::SetText(const wxString& caption) {
  m_caption = (m_style == kCheck && !caption.empty()) ? " " + caption : caption;
  m_announcedStyle = m_style;
  UpdateAccessible();
  FitCaption();
  Refresh(false);
}

void CColorButton::SetTextFont(const wxFont& font) {
  CSkinControl::SetTextFont(font);
  FitCaption();
}

void CColorButton::FitCaption() {
  if (!m_textFont.IsOk() || m_caption.empty()) return;
  const int text = MeasureText(m_caption, m_textFont).x;
  const wxRect r = GetRect();
  if (m_style == kPush) {
    const int wanted = text + 12;  // room for the rounded ends
    if (wanted <= r.width) return;
    SetSize(r.x - (wanted - r.width + 1) / 2, r.y, wanted, r.height);
  } else {
    const int wanted = 16 + text + 2;
    if (wanted <= r.width) return;
    SetSize(r.x, r.y, wanted, r.height);
  }
}

void CColorButton::SetCheck(bool checked) {
  m_checked = checked;
  UpdateAccessible();
  Refresh(false);
}

bool CColorButton::Activate() {
  Clicked();
  return true;
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
  wxPaintDC dc(this);
  if (m_announcedStyle != m_style) {
    m_announcedStyle = m_style;
    UpdateAccessible();
  }
  const wxSize size = GetClientSize();
  SkinCanvas canvas(this, m_style == kCheck);
  wxGraphicsContext& gc = canvas.gc();
  const double scale = canvas.Scale();
  if (m_style == kPush) {
    const int id = ChooseButtonImage(IsEnabled(), m_pressed != 0, PointerInside(), m_normalImage,
                                     m_hoverImage, m_pressedImage, m_disabledImage);
    // Without its picture the button draws nothing, its caption included. The picture goes
    // over the dialog's background so its transparent corners blend, stretched when the
    // caption widened the button.
    if (DrawSkinPictureSized(gc, scale, id, wxRect(size), 6)) {
      if (m_textFont.IsOk()) {
        gc.SetFont(m_textFont, ArgbColour(IsEnabled() ? m_textColour : kDisabledText));
        DrawTextInRect(gc, m_caption, wxRect2DDouble(0, 0, size.x, size.y),
                       TextFormat{TextAlign::Center, TextAlign::Center, false});
      }
      DrawFocusRing(gc, wxRect(size));
    }
  } else if (m_style == kRadio || m_style == kCheck) {
    if (m_style == kRadio) {
      wxImage mark;
      const int id = m_checked ? 222 : 223;
      if (LoadPngResource(mark, id)) DrawSkinPicture(gc, scale, id, 0, ((size.y - mark.GetHeight()) >> 1) + 1);
    } else {
      // The box sits on one flat colour: the background's colour near the right end.
      const wxColour flat = canvas.BackdropColour(std::max(0, size.x - 10), size.y / 2);
      gc.SetBrush(wxBrush(flat));
      gc.SetPen(*wxTRANSPARENT_PEN);
      gc.DrawRectangle(0, 0, size.x, size.y);
      DrawSkinPicture(gc, scale, 388, 1, (size.y - 15) / 2);
      if (m_checked) DrawSkinPicture(gc, scale, 389, 4, (size.y - 9) / 2);
    }
    if (m_textFont.IsOk()) {
      gc.SetFont(m_textFont, ArgbColour(m_textColour));
      DrawTextInRect(gc, m_caption, wxRect2DDouble(16, 0, size.x - 16, size.y),
                     TextFormat{TextAlign::Near, TextAlign::Center, false});
    }
    // The ring goes round the caption, as GTK's own check boxes do.
    if (HasFocus()) {
      const int text = m_textFont.IsOk() ? MeasureText(m_caption, m_textFont).x : 0;
      DrawFocusRing(gc, wxRect(14, 0, std::min(size.x - 14, text + 6), size.y));
    }
  } else {
    return;
  }
  canvas.PaintOn(dc);
}

CTransparentButton::CTransparentButton(wxWindow* parent, int id, const wxPoint& pos,
                                       const wxSize& size)
    : CSkinControl(parent, id, pos, size, SkinRole::PushButton) {
  Bind(wxEVT_PAINT, &CTransparentButton::OnPaint, this);
  // A quick second click arrives as a double click; it is a click all the same.
  Bind(wxEVT_LEFT_DOWN, [this](wxMouseEvent&) { m_down = true; });
  Bind(wxEVT_LEFT_DCLICK, [this](wxMouseEvent&) { m_down = true; });
  Bind(wxEVT_LEFT_UP, [this](wxMouseEvent& e) {
    if (m_down && wxRect(GetClientSize()).Contains(e.GetPosition())) SendCommand(this, wxEVT_BUTTON);
    m_down = false;
  });
}

bool CTransparentButton::Activate() {
  SendCommand(this, wxEVT_BUTTON);
  return true;
}

void CTransparentButton::OnPaint(wxPaintEvent&) {
  wxPaintDC dc(this);
  SkinCanvas canvas(this);
  const int id = !IsEnabled() ? m_disabledImage
                 : PointerInside() || HasFocus() ? m_hoverImage : m_normalImage;
  wxImage image;
  const wxSize size = GetClientSize();
  if (LoadPngResource(image, id)) {
    DrawSkinPicture(canvas.gc(), canvas.Scale(), id, (size.x - image.GetWidth()) / 2,
                    (size.y - image.GetHeight()) / 2);
  }
  DrawFocusRing(canvas.gc(), wxRect(size));
  canvas.PaintOn(dc);
}

CLinkButtonCtrl::CLinkButtonCtrl(wxWindow* parent, int id, const wxPoint& pos, const wxSize& size)
    : CSkinControl(parent, id, pos, size, SkinRole::Link) {
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

bool CLinkButtonCtrl::Activate() {
  SendCommand(this, wxEVT_BUTTON);
  return true;
}

wxSize CLinkButtonCtrl::MeasureTextSize(const wxString& text) const {
  return MeasureText(text, m_textFont);
}

void CLinkButtonCtrl::OnPaint(wxPaintEvent&) {
  wxPaintDC dc(this);
  if (GetLabel() + m_linkText != AccessibleName()) UpdateAccessible();
  SkinCanvas canvas(this);  // fresh every paint: old texts never pile up
  wxGraphicsContext* gc = &canvas.gc();
  const wxString text = GetLabel();
  const wxSize s1 = MeasureTextSize(text);
  const wxSize s2 = m_linkText.empty() ? s1 : MeasureTextSize(text + m_linkText);
  // A link whose words are longer than the place it was given (another language, a bigger
  // font) widens to the right rather than losing its last letters.
  if (s2.x + 6 > GetClientSize().x) {
    const int wanted = s2.x + 6;
    CallAfter([this, wanted] {
      if (GetClientSize().x < wanted) SetSize(wxSize(wanted, GetSize().y));
      Refresh(false);
    });
  }
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
      gc->SetPen(gc->CreatePen(wxGraphicsPenInfo(ArgbColour(link)).Width(1.5)));
      gc->StrokeLine(s1.x + 3, s2.y - 2.5, s2.x, s2.y - 2.5);
    }
  }
  const wxSize size = GetClientSize();
  DrawFocusRing(*gc, wxRect(0, 0, std::min(size.x, s2.x + 6), size.y));
  canvas.PaintOn(dc);
}

CSettingButton::CSettingButton(wxWindow* parent, int id, const wxPoint& pos, const wxSize& size)
    : CSkinControl(parent, id, pos, size, SkinRole::PushButton) {
  Bind(wxEVT_PAINT, &CSettingButton::OnPaint, this);
  // A quick second click arrives as a double click; it is a click all the same.
  Bind(wxEVT_LEFT_DOWN, [this](wxMouseEvent&) { m_down = true; });
  Bind(wxEVT_LEFT_DCLICK, [this](wxMouseEvent&) { m_down = true; });
  Bind(wxEVT_LEFT_UP, [this](wxMouseEvent& e) {
    if (m_down && wxRect(GetClientSize()).Contains(e.GetPosition())) SendCommand(this, wxEVT_BUTTON);
    m_down = false;
  });
}

bool CSettingButton::Activate() {
  SendCommand(this, wxEVT_BUTTON);
  return true;
}

uint32_t CSettingButton::CaptionColour(bool pointerInside) {
  return pointerInside ? 0xFF000000 : 0xFF41799C;
}

void CSettingButton::OnPaint(wxPaintEvent&) {
  wxPaintDC dc(this);
  const wxSize size = GetClientSize();
  SkinCanvas canvas(this);
  wxGraphicsContext& gc = canvas.gc();
  if (m_lightFace) {
    gc.SetBrush(wxBrush(ArgbColour(0xFFEFF4FF)));
    gc.SetPen(*wxTRANSPARENT_PEN);
    gc.DrawRectangle(0, 0, size.x, size.y);
  } else {
    DrawSkinPicture(gc, canvas.Scale(), m_faceImage, 0, 0);
  }
  wxImage icon;
  const bool hasIcon = LoadPngResource(icon, m_iconImage);
  const int iw = hasIcon ? icon.GetWidth() : 0;
  const int tw = std::min(MeasureText(m_caption, m_textFont).x, size.x - iw - 8);
  const int x = std::max(0, static_cast<int>((size.x - iw - 4 - tw) * 0.5));
  if (hasIcon) DrawSkinPicture(gc, canvas.Scale(), m_iconImage, x, (size.y - icon.GetHeight()) / 2);
  if (m_textFont.IsOk()) {
    gc.SetFont(m_textFont, ArgbColour(CaptionColour(PointerInside())));
    DrawTextInRect(gc, m_caption, wxRect2DDouble(x + iw + 4, 0, size.x - (x + iw + 4), size.y),
                   TextFormat{TextAlign::Near, TextAlign::Center, false});
  }
  DrawFocusRing(gc, wxRect(size));
  canvas.PaintOn(dc);
}
