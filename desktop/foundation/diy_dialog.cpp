#include "desktop/foundation/diy_dialog.h"

#include <wx/dcbuffer.h>
#include <wx/dcmemory.h>
#include <wx/graphics.h>

#include <memory>

#include "desktop/foundation/languages.h"
#include "desktop/foundation/skin_buttons.h"
#include "desktop/foundation/skin_draw.h"
#include "desktop/foundation/skin_image.h"

wxDEFINE_EVENT(EVT_HIDE_MAIN_WINDOW, wxCommandEvent);

int LogoForLanguage(int language, int previous) {
  switch (language) {
    case 0: return 344;
    case 1: return 376;
    case 2: return 377;
    default: return previous;
  }
}

std::vector<Decoration> DecorationsFor(int dialogKind, bool decorationFlag) {
  switch (dialogKind) {
    case 101: return {{386, 178, 56}, {386, 178, 105}, {386, 178, 154}};
    case 102: return {{369, 109, 62}, {369, 109, 105}};
    case 129: return decorationFlag ? std::vector<Decoration>{{370, 29, 349}} : std::vector<Decoration>{};
    default: return {};
  }
}

namespace {

wxSize SizeOfPng(int id) {
  wxImage image;
  if (LoadPngResource(image, id)) return image.GetSize();
  return wxSize(355, 197);
}

}  // namespace

CDiyDialog::CDiyDialog(wxWindow* parent, int templateId, int backgroundPng, const wxString& title)
    : wxDialog(parent, templateId, title, wxDefaultPosition, SizeOfPng(backgroundPng),
               wxBORDER_NONE | wxFRAME_SHAPED),
      m_backgroundImage(backgroundPng) {
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  // Made at the picture's size; KeepArtSize corrects the client area once the window maps.
  m_artSize = SizeOfPng(backgroundPng);
  m_languages = CLanguages::GetInstance();
  m_languages->RegisterCallback(this);
  Bind(wxEVT_PAINT, &CDiyDialog::OnPaint, this);
  Bind(wxEVT_SIZE, &CDiyDialog::OnSize, this);
  Bind(wxEVT_LEFT_DOWN, &CDiyDialog::OnLeftDown, this);
  Bind(wxEVT_LEFT_UP, &CDiyDialog::OnLeftUp, this);
  Bind(wxEVT_MOTION, &CDiyDialog::OnMotion, this);
  Bind(wxEVT_MOUSE_CAPTURE_LOST, &CDiyDialog::OnCaptureLost, this);
  Bind(wxEVT_CHAR_HOOK, &CDiyDialog::OnCharHook, this);
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnBnClickedClose(); }, kCloseButtonId);
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnBnClickedMinimize(); }, kMinimizeButtonId);
}

CDiyDialog::~CDiyDialog() {
  if (m_languages) {
    m_languages->UnregisterCallback(this);
    m_languages->Release();
  }
}

void CDiyDialog::SetArtSize(const wxSize& size) {
  m_artSize = size;
  m_resizeTries = 0;
  // A mapped window's size would include the manager's frame: the client area is what
  // counts. Before the window maps, the frame is only guessed; the size is made then and the
  // client area is corrected once it shows (KeepArtSize).
  if (IsShown()) SetClientSize(size);
  else SetSize(size);
}

void CDiyDialog::KeepArtSize() {
  if (m_artSize.x <= 0 || IsIconized() || GetClientSize() == m_artSize || m_resizeTries >= 5) return;
  ++m_resizeTries;
  SetClientSize(m_artSize);
}

void CDiyDialog::OnLanguageChanged() {
  m_textsApplied = false;
  Refresh(false);
}

void CDiyDialog::BeforePaint() {
  if (m_textsApplied) return;
  m_textsApplied = true;
  ApplyLanguageTexts();
}

void CDiyDialog::EnsureInit() {
  if (m_initDone) return;
  m_initDone = true;
  OnInitDialog();
  // Tab goes through the dialog's own controls first; the caption buttons come last.
  wxWindow* last = GetChildren().empty() ? nullptr : GetChildren().GetLast()->GetData();
  for (CTransparentButton* b : {m_minimizeButton, m_closeButton}) {
    if (b && last && b != last) {
      b->MoveAfterInTabOrder(last);
      last = b;
    }
  }
}

int CDiyDialog::ShowModal() {
  EnsureInit();
  return wxDialog::ShowModal();
}

bool CDiyDialog::Show(bool show) {
  if (show) EnsureInit();
  if (show) m_resizeTries = 0;
  const bool changed = wxDialog::Show(show);
  if (show && changed) {
    // The frame the manager adds is known only once the window maps.
    CallAfter([this] { KeepArtSize(); });
    FocusFirstControl();
    // GTK may hand the focus to its own first widget when the window maps.
    CallAfter([this] {
      wxWindow* focus = FindFocus();
      if (!focus || focus == this || focus == m_closeButton || focus == m_minimizeButton)
        FocusFirstControl();
    });
  }
  return changed;
}

void CDiyDialog::FocusFirstControl() {
  for (wxWindow* child : GetChildren()) {
    if (child->IsShown() && child->IsEnabled() && child->CanAcceptFocusFromKeyboard()) {
      child->SetFocus();
      return;
    }
  }
}

bool CDiyDialog::OnInitDialog() {
  const int w = m_artSize.x;
  m_closeButton = new CTransparentButton(this, kCloseButtonId, wxPoint(w - 34, 0), wxSize(32, 30));
  m_closeButton->m_normalImage = 326;
  m_closeButton->m_hoverImage = 327;
  m_minimizeButton =
      new CTransparentButton(this, kMinimizeButtonId, wxPoint(w - 60, 6), wxSize(26, 24));
  m_minimizeButton->m_normalImage = 328;
  m_minimizeButton->m_hoverImage = 329;
  m_minimizeButton->Show(m_minimizeShown != 0);
  // The language files have no words for the caption buttons; screen readers get these.
  const int language = m_languages ? m_languages->GetLanguage() : kLangEnglish;
  m_closeButton->SetAccessibleName(wxString::FromUTF8(
      language == kLangChineseSimplified ? "\xE5\x85\xB3\xE9\x97\xAD"
      : language == kLangChineseTraditional ? "\xE9\x97\x9C\xE9\x96\x89" : "Close"));
  m_minimizeButton->SetAccessibleName(wxString::FromUTF8(
      language == kLangEnglish ? "Minimize" : "\xE6\x9C\x80\xE5\xB0\x8F\xE5\x8C\x96"));
  ApplyShape();
  return true;
}

void CDiyDialog::OnMinimize() { Iconize(true); }

void CDiyDialog::OnBnClickedMinimize() { OnMinimize(); }

void CDiyDialog::OnBnClickedClose() {
  if (m_hideOnClose) {
    wxCommandEvent* event = new wxCommandEvent(EVT_HIDE_MAIN_WINDOW, GetId());
    event->SetEventObject(this);
    QueueEvent(event);
    return;
  }
  Close();
}

void CDiyDialog::OnEnterKey() {
  wxWindow* first = FindWindow(1);
  if (first && first->IsShown() && first->IsEnabled()) {
    wxCommandEvent click(wxEVT_BUTTON, 1);
    click.SetEventObject(first);
    ProcessWindowEvent(click);
  }
}

void CDiyDialog::OnCharHook(wxKeyEvent& event) {
  if (auto* focused = dynamic_cast<CSkinControl*>(FindFocus());
      focused && focused->HandlesKeyItself(event.GetKeyCode())) {
    event.Skip();
    return;
  }
  switch (event.GetKeyCode()) {
    case WXK_ESCAPE:
      Close();
      return;
    case WXK_RETURN:
    case WXK_NUMPAD_ENTER: {
      // Enter on a focused skinned button presses that button; elsewhere the default one.
      auto* focused = dynamic_cast<CSkinControl*>(FindFocus());
      if (focused && focused->GetParent() == this && focused->IsEnabled() && focused->Activate()) return;
      OnEnterKey();
      return;
    }
    default:
      event.Skip();
  }
}

wxFont CDiyDialog::CreateLanguageFont(const std::string& section, bool underline) const {
  return MakeLanguageFont(m_languages, section, underline);
}

wxBitmap CDiyDialog::Compose(double scale) {
  m_logoImage = LogoForLanguage(m_languages ? m_languages->GetLanguage() : -1, m_logoImage);
  wxImage natural, background;
  if (!LoadPngResource(natural, m_backgroundImage, 1) ||
      !LoadPngResource(background, m_backgroundImage, scale))
    return wxNullBitmap;
  const double factor = static_cast<double>(background.GetWidth()) / natural.GetWidth();
  wxBitmap bmp(background, 32);
  wxMemoryDC dc(bmp);
  std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(dc));
  if (gc) {
    // Drawn in the dialog's logical coordinates whatever the pixels are.
    gc->Scale(factor, factor);
    for (const Decoration& d : DecorationsFor(m_dialogKind, m_decorationFlag != 0))
      DrawSkinPicture(*gc, factor, d.png, d.x, d.y);
    if (m_logoImage != 0 && m_logoShown) DrawSkinPicture(*gc, factor, m_logoImage, 8, 8);
    DrawOverBackground(*gc);
  }
  gc.reset();
  dc.SelectObject(wxNullBitmap);
  m_backdropScale = factor;
  return bmp;
}

wxBitmap CDiyDialog::BackdropPixels(const wxRect& rect, double scale) {
  if (!m_backdrop.IsOk() || (scale >= 2) != (m_backdropScale >= 2)) m_backdrop = Compose(scale);
  if (!m_backdrop.IsOk()) return wxNullBitmap;
  const double f = m_backdropScale;
  auto toPixels = [f](const wxRect& r) {
    return wxRect(static_cast<int>(r.x * f), static_cast<int>(r.y * f), static_cast<int>(r.width * f),
                  static_cast<int>(r.height * f));
  };
  const wxRect wanted = toPixels(rect);
  const wxRect inside = wanted.Intersect(wxRect(m_backdrop.GetSize()));
  if (inside.IsEmpty()) return wxNullBitmap;
  if (inside == wanted) return m_backdrop.GetSubBitmap(wanted);
  // A child reaching past the picture gets the body colour beyond it.
  wxBitmap part(wanted.GetSize(), 32);
  wxMemoryDC dc(part);
  dc.SetBackground(wxBrush(wxColour(244, 246, 249)));
  dc.Clear();
  dc.DrawBitmap(m_backdrop.GetSubBitmap(inside), inside.GetPosition() - wanted.GetPosition());
  dc.SelectObject(wxNullBitmap);
  return part;
}

void CDiyDialog::OnPaint(wxPaintEvent&) {
  wxPaintDC dc(this);
  BeforePaint();
  m_backdrop = Compose(SkinScale(this));  // pictures are composed anew at every paint
  if (m_backdrop.IsOk()) {
    std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::CreateFromUnknownDC(dc));
    const wxSize size = m_backdrop.GetSize();
    if (gc) gc->DrawBitmap(m_backdrop, 0, 0, size.x / m_backdropScale, size.y / m_backdropScale);
  }
  // Children draw their part of the new background too, once per paint of the dialog's own.
  if (m_childrenRefreshed) {
    m_childrenRefreshed = false;
    return;
  }
  m_childrenRefreshed = true;
  for (wxWindow* child : GetChildren())
    if (child->IsShown()) child->Refresh(false);
}

void CDiyDialog::ApplyShape() {
  const wxSize size = GetClientSize();
  if (size.x <= 0 || size.y <= 0) return;
  wxGraphicsPath path = wxGraphicsRenderer::GetDefaultRenderer()->CreatePath();
  path.AddRoundedRectangle(0, 0, size.x, size.y, m_cornerSize / 2.0);
  SetShape(path);
}

void CDiyDialog::OnSize(wxSizeEvent& event) {
  event.Skip();
  ApplyShape();
  Refresh(false);
  if (GetClientSize() != m_artSize) CallAfter([this] { KeepArtSize(); });
}

void CDiyDialog::OnLeftDown(wxMouseEvent& event) {
  // Clicks on children never reach here, so the caption buttons stay clickable.
  if (event.GetY() >= 0 && event.GetY() < m_captionBand) {
    m_dragging = true;
    m_dragOffset = event.GetPosition();
    CaptureMouse();
    return;
  }
  event.Skip();
}

void CDiyDialog::OnMotion(wxMouseEvent& event) {
  if (m_dragging && event.Dragging()) {
    Move(ClientToScreen(event.GetPosition()) - m_dragOffset);
    return;
  }
  event.Skip();
}

void CDiyDialog::OnLeftUp(wxMouseEvent& event) {
  if (m_dragging) {
    m_dragging = false;
    if (HasCapture()) ReleaseMouse();
    return;
  }
  event.Skip();
}

void CDiyDialog::OnCaptureLost(wxMouseCaptureLostEvent&) { m_dragging = false; }
