#include "desktop/foundation/diy_dialog.h"

#include <wx/dcbuffer.h>
#include <wx/dcmemory.h>
#include <wx/graphics.h>

#include <memory>

#include "desktop/foundation/languages.h"
#include "desktop/foundation/skin_buttons.h"
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
}

int CDiyDialog::ShowModal() {
  EnsureInit();
  return wxDialog::ShowModal();
}

bool CDiyDialog::Show(bool show) {
  if (show) EnsureInit();
  return wxDialog::Show(show);
}

bool CDiyDialog::OnInitDialog() {
  const int w = GetSize().x;
  m_closeButton = new CTransparentButton(this, kCloseButtonId, wxPoint(w - 34, 0), wxSize(32, 30));
  m_closeButton->m_normalImage = 326;
  m_closeButton->m_hoverImage = 327;
  m_minimizeButton =
      new CTransparentButton(this, kMinimizeButtonId, wxPoint(w - 60, 6), wxSize(26, 24));
  m_minimizeButton->m_normalImage = 328;
  m_minimizeButton->m_hoverImage = 329;
  m_minimizeButton->Show(m_minimizeShown != 0);
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
  switch (event.GetKeyCode()) {
    case WXK_ESCAPE:
      Close();
      return;
    case WXK_RETURN:
    case WXK_NUMPAD_ENTER:
      OnEnterKey();
      return;
    default:
      event.Skip();
  }
}

wxFont CDiyDialog::CreateLanguageFont(const std::string& section, bool underline) const {
  return MakeLanguageFont(m_languages, section, underline);
}

wxBitmap CDiyDialog::Compose() {
  m_logoImage = LogoForLanguage(m_languages ? m_languages->GetLanguage() : -1, m_logoImage);
  wxImage background;
  if (!LoadPngResource(background, m_backgroundImage)) return wxNullBitmap;
  wxBitmap bmp(background, 32);
  wxMemoryDC dc(bmp);
  std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(dc));
  if (gc) {
    for (const Decoration& d : DecorationsFor(m_dialogKind, m_decorationFlag != 0)) {
      wxImage picture;
      if (LoadPngResource(picture, d.png))
        gc->DrawBitmap(wxBitmap(picture, 32), d.x, d.y, picture.GetWidth(), picture.GetHeight());
    }
    wxImage logo;
    if (m_logoImage != 0 && m_logoShown && LoadPngResource(logo, m_logoImage))
      gc->DrawBitmap(wxBitmap(logo, 32), 8, 8, logo.GetWidth(), logo.GetHeight());
    DrawOverBackground(*gc);
  }
  gc.reset();
  dc.SelectObject(wxNullBitmap);
  return bmp;
}

wxBitmap CDiyDialog::BackdropFor(const wxRect& rect) {
  if (!m_backdrop.IsOk()) m_backdrop = Compose();
  if (!m_backdrop.IsOk()) return wxNullBitmap;
  const wxRect inside = rect.Intersect(wxRect(m_backdrop.GetSize()));
  if (inside.IsEmpty()) return wxNullBitmap;
  if (inside == rect) return m_backdrop.GetSubBitmap(rect);
  // A child reaching past the picture gets the body colour beyond it.
  wxBitmap part(rect.GetSize(), 32);
  wxMemoryDC dc(part);
  dc.SetBackground(wxBrush(wxColour(244, 244, 244)));
  dc.Clear();
  dc.DrawBitmap(m_backdrop.GetSubBitmap(inside), inside.GetPosition() - rect.GetPosition());
  dc.SelectObject(wxNullBitmap);
  return part;
}

void CDiyDialog::OnPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  BeforePaint();
  m_backdrop = Compose();  // pictures are composed anew at every paint
  if (m_backdrop.IsOk()) dc.DrawBitmap(m_backdrop, 0, 0);
  // Children draw their part of the new background too.
  for (wxWindow* child : GetChildren())
    if (child->IsShown()) child->Refresh(false);
}

void CDiyDialog::ApplyShape() {
  const wxSize size = GetSize();
  if (size.x <= 0 || size.y <= 0) return;
  wxGraphicsPath path = wxGraphicsRenderer::GetDefaultRenderer()->CreatePath();
  path.AddRoundedRectangle(0, 0, size.x, size.y, m_cornerSize / 2.0);
  SetShape(path);
}

void CDiyDialog::OnSize(wxSizeEvent& event) {
  event.Skip();
  ApplyShape();
  Refresh(false);
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
