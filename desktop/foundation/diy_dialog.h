#pragma once
// The skinned dialog every window of the desktop program is built on: a borderless wxDialog
// whose client area is one composed picture (a PNG background, the dialog's extra pictures and
// the logo of the interface language), with its own close and minimize buttons, a band along
// the top that drags the window, and rounded corners where the X server allows a shape. Child
// controls paint over the part of the composed background under them (BackdropFor).
#include <wx/dialog.h>
#include <wx/graphics.h>

#include <string>

#include "desktop/foundation/languages.h"
#include "desktop/foundation/skin_draw.h"

class CTransparentButton;

// Posted by the close button of a dialog that hides instead of closing (the main window).
wxDECLARE_EVENT(EVT_HIDE_MAIN_WINDOW, wxCommandEvent);

constexpr int kCloseButtonId = 1093;
constexpr int kMinimizeButtonId = 1128;

// Logo picture for a language id: 344, 376, 377; previous for any other id.
int LogoForLanguage(int language, int previous);

struct Decoration {
  int png;
  int x, y;
};
// The extra pictures of a dialog kind (the decoration flag switches the main window's on).
std::vector<Decoration> DecorationsFor(int dialogKind, bool decorationFlag);

// Every skinned dialog follows the language: its texts are applied at the first paint after
// construction and after each language switch (OnLanguageChanged only clears the flag).
class CDiyDialog : public wxDialog, public ILanguageCallBack, public IBackdropSource {
 public:
  // background: the PNG that fills the window; its size is the window's client size.
  CDiyDialog(wxWindow* parent, int templateId, int backgroundPng, const wxString& title);
  ~CDiyDialog() override;

  int ShowModal() override;
  bool Show(bool show = true) override;

  // The composed background under rect (dialog client coordinates); invalid before it loads.
  wxBitmap BackdropFor(const wxRect& rect) { return BackdropPixels(rect, 1); }
  // The same in pixels of a skin scale (scale times rect's size, scale factor 1).
  wxBitmap BackdropPixels(const wxRect& rect, double scale) override;
  void InvalidateBackdrop() { m_backdrop = wxNullBitmap; }

  ILanguages* Languages() const { return m_languages; }

  // The skin's size of the window: its client area, whatever frame a window manager adds
  // around it (the frame is not ours to draw in). Kept when the manager decorates the window.
  void SetArtSize(const wxSize& size);
  void SetArtSize(int width, int height) { SetArtSize(wxSize(width, height)); }
  wxSize ArtSize() const { return m_artSize; }
  // A font from a "FONT_" section of the language file, or wxNullFont.
  wxFont CreateLanguageFont(const std::string& section, bool underline = false) const;

  int m_backgroundImage;
  std::wstring m_imageType = L"PNG";
  int m_captionBand = 41;
  int m_contentTop = 41;
  int m_decorationFlag = 0;
  int m_minimizeShown = 1;
  int m_logoImage = 0;
  int m_logoShown = 1;
  int m_dialogKind = 0;
  int m_cornerSize = 4;
  CTransparentButton* m_closeButton = nullptr;
  CTransparentButton* m_minimizeButton = nullptr;
  bool m_hideOnClose = false;

 protected:
  virtual bool OnInitDialog();
  virtual void OnMinimize();
  // Sets every caption, label and link from the language service (called while the
  // texts-applied flag is clear, at paint time).
  virtual void ApplyLanguageTexts() {}
  void OnLanguageChanged() override;
  // Called at every paint before the background is drawn; applies the texts when needed.
  virtual void BeforePaint();
  bool m_textsApplied = false;
  // Draws what a dialog adds to its background (links, lines) into the composed picture.
  virtual void DrawOverBackground(wxGraphicsContext&) {}
  // Enter in the dialog: the default is a click on control 1 when there is one.
  virtual void OnEnterKey();
  virtual void OnBnClickedClose();

  void OnBnClickedMinimize();

 private:
  void EnsureInit();
  // The keyboard starts on the first control in the Tab order.
  void FocusFirstControl();
  void OnPaint(wxPaintEvent& event);
  void OnSize(wxSizeEvent& event);
  void OnLeftDown(wxMouseEvent& event);
  void OnLeftUp(wxMouseEvent& event);
  void OnMotion(wxMouseEvent& event);
  void OnCaptureLost(wxMouseCaptureLostEvent& event);
  void OnCharHook(wxKeyEvent& event);
  wxBitmap Compose(double scale);
  void ApplyShape();
  // Gives the window its art size again when it came out (or was made) another size.
  void KeepArtSize();

  ILanguages* m_languages = nullptr;
  wxSize m_artSize;
  int m_resizeTries = 0;  // bounded: a manager that insists on its own size wins
  wxBitmap m_backdrop;  // in pixels of m_backdropScale
  double m_backdropScale = 1;
  // Set while the paint that the children's refresh causes is still to come: that paint must
  // not refresh them again, or a child without a window of its own repaints the dialog forever.
  bool m_childrenRefreshed = false;
  bool m_initDone = false;
  bool m_dragging = false;
  wxPoint m_dragOffset;
};
