#pragma once
// Self-painting buttons for the skinned dialogs: GTK draws its own buttons, so these are plain
// controls that paint pictures and captions over the dialog's background and send the usual
// wx events (wxEVT_BUTTON, wxEVT_CHECKBOX, wxEVT_RADIOBUTTON) on a click.
#include <wx/control.h>
#include <wx/graphics.h>

#include <cstdint>

// What a skinned control is to assistive technology.
enum class SkinRole { Label, PushButton, CheckBox, RadioButton, Link, ComboBox };

// Shared by the skinned controls: the GDI+-like text font, the backdrop-based paint setup, and
// what GTK would give a native control: keyboard focus in the Tab order, a focus ring, Space
// and Enter, and a name and role for screen readers (set on the control's ATK object).
class CSkinControl : public wxControl {
 public:
  CSkinControl(wxWindow* parent, int id, const wxPoint& pos, const wxSize& size,
               SkinRole role = SkinRole::Label);
  virtual void SetTextFont(const wxFont& font) { m_textFont = font; Refresh(false); }
  const wxFont& TextFont() const { return m_textFont; }
  bool PointerInside() const;
  virtual SkinRole Role() const { return m_role; }
  // The name screen readers say; by default the control's caption.
  void SetAccessibleName(const wxString& name);
  wxString AccessibleName() const;
  // Space or Enter on the focused control; false when it has nothing to do.
  virtual bool Activate() { return false; }
  // A key the dialog leaves to the focused control (Escape in an open list).
  virtual bool HandlesKeyItself(int) const { return false; }

 protected:
  wxSize DoGetBestSize() const override { return GetSize(); }
  bool AcceptsFocus() const override { return m_role != SkinRole::Label && IsShown() && IsEnabled(); }
  bool AcceptsFocusFromKeyboard() const override { return AcceptsFocus(); }
  // The caption or the check changed: screen readers hear the new one.
  void UpdateAccessible();
  virtual bool IsChecked() const { return false; }
  virtual wxString CaptionForAccessibility() const { return GetLabel(); }
  // A ring just inside rect when the control has the keyboard focus.
  void DrawFocusRing(wxGraphicsContext& gc, const wxRect& rect) const;
  wxFont m_textFont;

 private:
  SkinRole m_role;
  wxString m_accessibleName;
};

// Which of a push button's pictures shows.
int ChooseButtonImage(bool enabled, bool pressed, bool pointerInside, int normal, int hover,
                      int pressedImage, int disabled);

class CColorButton : public CSkinControl {
 public:
  enum Style { kPush = 1, kRadio = 2, kCheck = 3 };
  CColorButton(wxWindow* parent, int id, const wxPoint& pos = wxDefaultPosition,
               const wxSize& size = wxSize(73, 25));

  // A check box caption gets one leading blank. A caption wider than the button widens it
  // about its centre (a check box or radio widens to the right), so it is never cut.
  void SetText(const wxString& caption);
  const wxString& GetText() const { return m_caption; }
  void SetCheck(bool checked);
  bool GetCheck() const { return m_checked; }
  void SetTextFont(const wxFont& font) override;
  bool Activate() override;
  SkinRole Role() const override;

  uint32_t m_textColour = 0x00FFFFFF;  // transparent until the dialog chooses a colour
  int m_pressed = 0;
  int m_style = kPush;
  int m_normalImage = 0, m_hoverImage = 0, m_pressedImage = 0, m_disabledImage = 0;

 private:
  void OnPaint(wxPaintEvent& event);
  void OnLeftDown(wxMouseEvent& event);
  void OnLeftUp(wxMouseEvent& event);
  void Clicked();
  void FitCaption();
  wxString CaptionForAccessibility() const override { return m_caption.Strip(wxString::both); }
  wxString m_caption;
  bool m_checked = false;
  int m_announcedStyle = kPush;
  bool IsChecked() const override { return m_checked; }
};

class CTransparentButton : public CSkinControl {
 public:
  CTransparentButton(wxWindow* parent, int id, const wxPoint& pos, const wxSize& size);
  int m_normalImage = 0, m_hoverImage = 0, m_disabledImage = 0;
  bool Activate() override;

 private:
  void OnPaint(wxPaintEvent& event);
  bool m_down = false;
};

class CLinkButtonCtrl : public CSkinControl {
 public:
  CLinkButtonCtrl(wxWindow* parent, int id, const wxPoint& pos, const wxSize& size);
  void SetLinkText(const wxString& text) {
    m_linkText = text;
    UpdateAccessible();
    Refresh(false);
  }
  const wxString& LinkText() const { return m_linkText; }
  wxSize MeasureTextSize(const wxString& text) const;
  bool Activate() override;

  uint32_t m_textColour = 0xFF000000;
  uint32_t m_fillColour = 0xFF000000;
  uint32_t m_borderColour = 0xFF000000;
  bool m_fill = false;
  bool m_border = false;

 private:
  void OnPaint(wxPaintEvent& event);
  wxString CaptionForAccessibility() const override { return GetLabel() + m_linkText; }
  wxString m_linkText;
  bool m_down = false;
};

class CSettingButton : public CSkinControl {
 public:
  CSettingButton(wxWindow* parent, int id, const wxPoint& pos, const wxSize& size);
  void SetCaption(const wxString& caption) {
    m_caption = caption;
    UpdateAccessible();
    Refresh(false);
  }
  const wxString& Caption() const { return m_caption; }
  // Caption colour: black under the pointer, else 0xFF41799C.
  static uint32_t CaptionColour(bool pointerInside);
  bool Activate() override;

  bool m_lightFace = false;
  int m_faceImage = 0;
  int m_iconImage = 0;

 private:
  void OnPaint(wxPaintEvent& event);
  wxString CaptionForAccessibility() const override { return m_caption; }
  wxString m_caption;
  bool m_down = false;
};
