#include "desktop/foundation/skin_controls.h"

#include <wx/dcbuffer.h>
#include <wx/dcmemory.h>
#include <wx/graphics.h>
#include <wx/app.h>
#include <wx/popupwin.h>

#include <algorithm>
#include <memory>

#include "desktop/foundation/skin_image.h"

CDiyStatic::CDiyStatic(wxWindow* parent, int id, const wxString& text, const wxPoint& pos,
                       const wxSize& size)
    : CSkinControl(parent, id, pos, size, SkinRole::Label) {
  wxControl::SetLabel(text);
  UpdateAccessible();
  Bind(wxEVT_PAINT, &CDiyStatic::OnPaint, this);
}

void CDiyStatic::SetLabel(const wxString& label) {
  wxControl::SetLabel(label);
  UpdateAccessible();
  Refresh(false);
}

wxSize CDiyStatic::GetTextSize() const { return MeasureText(GetLabel(), m_textFont); }

void CDiyStatic::OnPaint(wxPaintEvent&) {
  wxPaintDC dc(this);
  SkinCanvas canvas(this);
  if (m_textFont.IsOk()) {
    canvas.gc().SetFont(m_textFont, ArgbColour(m_textColour));
    const wxSize size = GetClientSize();
    DrawTextInRect(canvas.gc(), GetLabel(), wxRect2DDouble(0, 0, size.x, size.y), m_format);
  }
  canvas.PaintOn(dc);
}

namespace {

// The open list of a CColorCombobox.
class ComboPopup : public wxPopupTransientWindow {
 public:
  explicit ComboPopup(CColorCombobox* owner)
      : wxPopupTransientWindow(owner, wxBORDER_SIMPLE), m_owner(owner) {
    m_panel = new wxWindow(this, wxID_ANY);
    m_panel->SetBackgroundStyle(wxBG_STYLE_PAINT);
    const wxSize size(owner->GetSize().x, std::max(1, owner->GetCount()) * CColorCombobox::kRowHeight);
    m_panel->SetSize(size);
    SetClientSize(size);
    m_panel->Bind(wxEVT_PAINT, &ComboPopup::OnPaint, this);
    // The open list holds the keyboard grab: its keys go to the combo box's list handling.
    Bind(wxEVT_CHAR_HOOK, [this](wxKeyEvent& e) {
      if (!m_owner->ListKey(e.GetKeyCode())) e.Skip();
    });
    m_panel->Bind(wxEVT_MOTION, [this](wxMouseEvent& e) {
      m_owner->HoverRow(RowAt(e.GetY()));
      m_panel->Refresh(false);
    });
    m_panel->Bind(wxEVT_LEFT_DOWN, [this](wxMouseEvent& e) {
      const int row = RowAt(e.GetY());
      CColorCombobox* combo = m_owner;
      DismissAndNotify();
      if (row != CColorCombobox::kNoHover) combo->ChooseRow(row);
    });
  }
  // The list lives only while it is open.
  // The keyboard stays with the combo box, which drives the open list.
  void Close() { DismissAndNotify(); }

  void ShowHover() { m_panel->Refresh(false); }
  void OnDismiss() override {
    m_owner->PopupGone();
    Destroy();
  }

 private:
  int RowAt(int y) const {
    const int row = y / CColorCombobox::kRowHeight;
    return row >= 0 && row < m_owner->GetCount() ? row : CColorCombobox::kNoHover;
  }
  void OnPaint(wxPaintEvent&) {
    wxAutoBufferedPaintDC dc(m_panel);
    std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(dc));
    const int w = m_panel->GetClientSize().x;
    const int h = CColorCombobox::kRowHeight;
    for (int row = 0; row < m_owner->GetCount(); ++row) {
      gc->SetPen(*wxTRANSPARENT_PEN);
      gc->SetBrush(wxBrush(ArgbColour(row == m_owner->HoverIndex() ? 0xFF21B4E5 : 0xFFFFFFFF)));
      gc->DrawRectangle(0, row * h, w, h);
      if (m_owner->TextFont().IsOk()) {
        gc->SetFont(m_owner->TextFont(), ArgbColour(m_owner->m_textColour));
        DrawTextInRect(*gc, m_owner->ItemTextAt(row), wxRect2DDouble(2, row * h, w - 2, h),
                       TextFormat{TextAlign::Near, TextAlign::Center, false});
      }
    }
  }
  CColorCombobox* m_owner;
  wxWindow* m_panel;
};

}  // namespace

CColorCombobox::CColorCombobox(wxWindow* parent, int id, const wxPoint& pos, const wxSize& size)
    : CSkinControl(parent, id, pos, size, SkinRole::ComboBox) {
  Bind(wxEVT_PAINT, &CColorCombobox::OnPaint, this);
  Bind(wxEVT_LEFT_DOWN, [this](wxMouseEvent&) {
    SetFocus();
    if (!m_popup) ShowDropDown();
  });
  // Closed, Up and Down choose the neighbouring row, as a GTK combo does; open, they move
  // through the list, Space or Enter takes the row and Escape closes it.
  Bind(wxEVT_KEY_DOWN, [this](wxKeyEvent& e) {
    const int key = e.GetKeyCode();
    if (m_popup) {
      if (!ListKey(key)) e.Skip();
      return;
    }
    if ((key == WXK_UP || key == WXK_DOWN) && !e.AltDown() && GetCount() > 0) {
      const int next = m_selection < 0 ? 0 : m_selection + (key == WXK_DOWN ? 1 : -1);
      if (next >= 0 && next < GetCount() && next != m_selection) ChooseRow(next);
      return;
    }
    if (key == WXK_DOWN && e.AltDown()) {
      Activate();
      return;
    }
    e.Skip();
  });
}

bool CColorCombobox::ListKey(int key) {
  auto* popup = static_cast<ComboPopup*>(m_popup);
  if (!popup) return false;
  if ((key == WXK_UP || key == WXK_DOWN) && GetCount() > 0) {
    const int from = m_hover == kNoHover ? m_selection : m_hover;
    HoverRow(from < 0 ? 0 : std::clamp(from + (key == WXK_DOWN ? 1 : -1), 0, GetCount() - 1));
    popup->ShowHover();
    return true;
  }
  if (key == WXK_ESCAPE) {
    popup->Close();
    return true;
  }
  if (key == WXK_SPACE || key == WXK_RETURN || key == WXK_NUMPAD_ENTER) return Activate();
  return false;
}

bool CColorCombobox::Activate() {
  if (!m_popup) {
    ShowDropDown();
    return true;
  }
  const int row = m_hover;
  static_cast<ComboPopup*>(m_popup)->Close();
  if (row != kNoHover) ChooseRow(row);
  return true;
}

bool CColorCombobox::HandlesKeyItself(int key) const {
  return m_popup && (key == WXK_ESCAPE || key == WXK_RETURN || key == WXK_NUMPAD_ENTER);
}

wxString CColorCombobox::CaptionForAccessibility() const {
  return GetLabel().empty() ? SelectedText() : GetLabel();
}

CColorCombobox::~CColorCombobox() {
  if (m_popup) m_popup->Destroy();
}

int CColorCombobox::InsertItem(int index, const wxString& text) {
  // Rows are found by their list index, so they are appended in order.
  const int at = index < 0 || index > GetCount() ? GetCount() : index;
  m_items.push_back(std::make_unique<ColorComboItem>(ColorComboItem{text, at}));
  Refresh(false);
  return at;
}

void CColorCombobox::ResetContent() {
  m_items.clear();
  m_selection = -1;
  Refresh(false);
}

void CColorCombobox::SetCurSel(int index) {
  m_selection = index >= 0 && index < GetCount() ? index : -1;
  UpdateAccessible();
  Refresh(false);
}

wxString CColorCombobox::ItemTextAt(int row) const {
  return row >= 0 && row < GetCount() ? m_items[static_cast<size_t>(row)]->text : wxString();
}

wxString CColorCombobox::SelectedText() const { return ItemTextAt(m_selection); }

void CColorCombobox::ShowDropDown() {
  auto* popup = new ComboPopup(this);
  m_popup = popup;
  m_hover = kNoHover;
  popup->Position(ClientToScreen(wxPoint(0, 0)), wxSize(0, GetSize().y));
  popup->Popup();
}

void CColorCombobox::InvalidateParentRect() {
  if (GetParent()) GetParent()->RefreshRect(GetRect().Inflate(2), false);
}

void CColorCombobox::HoverRow(int row) { m_hover = row; }

void CColorCombobox::ChooseRow(int row) {
  SetCurSel(row);
  InvalidateParentRect();
  // The parent hears of the change once.
  wxCommandEvent event(wxEVT_COMBOBOX, GetId());
  event.SetEventObject(this);
  event.SetInt(row);
  event.SetString(ItemTextAt(row));
  ProcessWindowEvent(event);
}

void CColorCombobox::OnPaint(wxPaintEvent&) {
  wxPaintDC dc(this);
  SkinCanvas canvas(this);
  wxGraphicsContext& gc = canvas.gc();
  wxImage face, arrow;
  if (LoadPngResource(face, 224)) {
    const bool hasArrow = LoadPngResource(arrow, 225);
    const int aw = hasArrow ? arrow.GetWidth() : 0;
    const wxSize size = GetClientSize();
    // The face is as wide as the control; its height is the picture's.
    const wxRect faceRect(0, 1, std::max(size.x, 8), face.GetHeight());
    DrawSkinPictureSized(gc, canvas.Scale(), 224, faceRect, 4);
    if (hasArrow) {
      DrawSkinPicture(gc, canvas.Scale(), 225, faceRect.width - aw - 6,
                      1 + ((face.GetHeight() - arrow.GetHeight()) >> 1) + 1);
    }
    if (m_textFont.IsOk()) {
      gc.SetFont(m_textFont, ArgbColour(m_textColour));
      DrawTextInRect(gc, SelectedText(), wxRect2DDouble(4, 1, faceRect.width - aw - 14, face.GetHeight()),
                     TextFormat{TextAlign::Near, TextAlign::Center, false});
    }
    DrawFocusRing(gc, faceRect);
  }
  canvas.PaintOn(dc);
}

int MenuIconFor(unsigned command, bool phoneOnline) {
  switch (command) {
    case 32810: return 287;
    case 32827: return 322;
    case 32784: return 286;
    case 32816: return phoneOnline ? 285 : 280;
    case 32818: return 284;
    case 32806: return 283;
    case 32788: return 282;
    case 32787: return 281;
    default: return 0;
  }
}

wxString CDiyMenu::ItemText(unsigned command) const {
  const auto it = m_texts.find(command);
  return it == m_texts.end() ? wxString() : it->second;
}

namespace {
constexpr unsigned kMenuIdShift = 0x7000;
}  // namespace

int CDiyMenu::MenuIdOf(unsigned command) {
  return static_cast<int>(command >= 0x7FFF ? command - kMenuIdShift : command);
}

unsigned CDiyMenu::CommandOf(int menuId) {
  const unsigned id = static_cast<unsigned>(menuId);
  return id >= 0x7FFF - kMenuIdShift && id < 0x7FFF ? id + kMenuIdShift : id;
}

std::unique_ptr<wxMenu> CDiyMenu::BuildMenu(const std::vector<Entry>& entries) const {
  auto menu = std::make_unique<wxMenu>();
  for (const Entry& e : entries) {
    if (e.command == 0) {
      menu->AppendSeparator();
      continue;
    }
    const wxString text = ItemText(e.command);
    auto* item = new wxMenuItem(menu.get(), MenuIdOf(e.command), text.empty() ? wxString(" ") : text);
    wxImage icon;
    const int id = MenuIconFor(e.command, m_phoneOnline != 0);
    // Menus show on the screen of the program's windows; a HiDPI one gets the 2x drawing.
    const double scale = wxTheApp && wxTheApp->GetTopWindow() ? SkinScale(wxTheApp->GetTopWindow()) : 1;
    if (id != 0 && LoadPngResource(icon, id)) item->SetBitmap(SkinBitmap(id, scale));
    menu->Append(item);
    item->Enable(e.enabled);
  }
  return menu;
}
