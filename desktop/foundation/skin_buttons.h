#pragma once
// Self-painting buttons for the skinned dialogs: GTK draws its own buttons, so these are plain
// controls that paint pictures and captions over the dialog's background and send the usual
// wx events (wxEVT_BUTTON, wxEVT_CHECKBOX, wxEVT_RADIOBUTTON) on a click.
#include <wx/control.h>

#include <cstdint>

// Shared by the skinned controls: the GDI+-like text font and the backdrop-based paint setup.
class CSkinControl : public wxControl {
 public:
  CSkinControl(wxWindow* parent, int id, const wxPoint& pos, const wxSize& size);
  void SetTextFont(const wxFont& font) { m_textFont = font; Refresh(false); }
  const wxFont& TextFont() const { return m_textFont; }
  bool PointerInside() const;

 protected:
  wxSize DoGetBestSize() const override { return GetSize(); }
  bool AcceptsFocus() const override { return false; }
  wxFont m_textFont;
};

// Which of a push button's pictures shows.
int ChooseButtonImage(bool enabled, bool pressed, bool pointerInside, int normal, int hover,
                      int pressedImage, int disabled);

class CColorButton : public CSkinControl {
 public:
  enum Style { kPush = 1, kRadio = 2, kCheck = 3 };
  CColorButton(wxWindow* parent, int id, const wxPoint& pos = wxDefaultPosition,
               const wxSize& size = wxSize(73, 25));

  void SetText(const wxString& caption);  // a check box caption gets one leading blank
  const wxString& GetText() const { return m_caption; }
  void SetCheck(bool checked);
  bool GetCheck() const { return m_checked; }

  uint32_t m_textColour = 0x00FFFFFF;  // transparent until the dialog chooses a colour
  int m_pressed = 0;
  int m_style = kPush;
  int m_normalImage = 0, m_hoverImage = 0, m_pressedImage = 0, m_disabledImage = 0;

 private:
  void OnPaint(wxPaintEvent& event);
  void OnLeftDown(wxMouseEvent& event);
  void OnLeftUp(wxMouseEvent& event);
  void Clicked();
  wxString m_caption;
  bool m_checked = false;
};

class CTransparentButton : public CSkinControl {
 public:
  CTransparentButton(wxWindow* parent, int id, const wxPoint& pos, const wxSize& size);
  int m_normalImage = 0, m_hoverImage = 0, m_disabledImage = 0;

 private:
  void OnPaint(wxPaintEvent& event);
  bool m_down = false;
};

class CLinkButtonCtrl : public CSkinControl {
 public:
  CLinkButtonCtrl(wxWindow* parent, int id, const wxPoint& pos, const wxSize& size);
  void SetLinkText(const wxString& text) { m_linkText = text; Refresh(false); }
  const wxString& LinkText() const { return m_linkText; }
  wxSize MeasureTextSize(const wxString& text) const;

  uint32_t m_textColour = 0xFF000000;
  uint32_t m_fillColour = 0xFF000000;
  uint32_t m_borderColour = 0xFF000000;
  bool m_fill = false;
  bool m_border = false;

 private:
  void OnPaint(wxPaintEvent& event);
  wxString m_linkText;
  bool m_down = false;
};

class CSettingButton : public CSkinControl {
 public:
  CSettingButton(wxWindow* parent, int id, const wxPoint& pos, const wxSize& size);
  void SetCaption(const wxString& caption) { m_caption = caption; Refresh(false); }
  const wxString& Caption() const { return m_caption; }
  // Caption colour: black under the pointer, else 0xFF41799C.
  static uint32_t CaptionColour(bool pointerInside);

  bool m_lightFace = false;
  int m_faceImage = 0;
  int m_iconImage = 0;

 private:
  void OnPaint(wxPaintEvent& event);
  wxString m_caption;
  bool m_down = false;
};
