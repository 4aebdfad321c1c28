#pragma once
// The skinned static text, the drop-down list drawn from pictures, and the tray menu's model.
// GTK cannot owner-draw a combo box or a popup menu: the drop-down is a control of our own
// with a popup list, and the menu keeps its model (texts, icons, the phone flag) and shows a
// native wxMenu with the icons.
#include <wx/menu.h>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "desktop/foundation/skin_buttons.h"
#include "desktop/foundation/skin_draw.h"

class CDiyStatic : public CSkinControl {
 public:
  CDiyStatic(wxWindow* parent, int id, const wxString& text, const wxPoint& pos, const wxSize& size);
  void SetStringFormat(const TextFormat& format) { m_format = format; Refresh(false); }
  const TextFormat& StringFormat() const { return m_format; }
  wxSize GetTextSize() const;  // the window text in the control's font, not wrapped
  void SetLabel(const wxString& label) override;

  uint32_t m_textColour = 0xFF000000;

 private:
  void OnPaint(wxPaintEvent& event);
  TextFormat m_format;
};

struct ColorComboItem {
  wxString text;
  int index;
};

class CColorCombobox : public CSkinControl {
 public:
  static constexpr int kNoHover = 666666666;
  static constexpr int kRowHeight = 21;
  CColorCombobox(wxWindow* parent, int id, const wxPoint& pos, const wxSize& size);
  ~CColorCombobox() override;

  int InsertItem(int index, const wxString& text);  // the new row's index
  void ResetContent();
  int GetCount() const { return static_cast<int>(m_items.size()); }
  int GetCurSel() const { return m_selection; }
  void SetCurSel(int index);  // -1 clears; no event
  wxString SelectedText() const;  // "" without a valid selection
  wxString ItemTextAt(int row) const;  // "" outside the list
  void ShowDropDown();
  void InvalidateParentRect();
  // Called by the open list: the pointer is over row (kNoHover for none); a click chose row.
  void HoverRow(int row);
  void ChooseRow(int row);
  int HoverIndex() const { return m_hover; }
  bool IsDroppedDown() const { return m_popup != nullptr; }
  bool Activate() override;  // opens the list, or takes the row under the keyboard in it
  bool HandlesKeyItself(int key) const override;
  // A key while the list is open: Up and Down move through it, Space or Enter take the row,
  // Escape closes; false for any other key or when the list is closed.
  bool ListKey(int key);
  void PopupGone() { m_popup = nullptr; m_hover = kNoHover; }

  uint32_t m_textColour = 0xFF000000;

 private:
  void OnPaint(wxPaintEvent& event);
  // Its label when it has one, else what it shows.
  wxString CaptionForAccessibility() const override;
  std::vector<std::unique_ptr<ColorComboItem>> m_items;
  int m_selection = -1;
  int m_hover = kNoHover;
  wxWindow* m_popup = nullptr;
};

// The icon of a tray-menu command, 0 for none.
int MenuIconFor(unsigned command, bool phoneOnline);

class CDiyMenu {
 public:
  struct Entry {
    unsigned command;  // 0 is a separator
    bool enabled;
  };
  void SetItemText(unsigned command, const wxString& text) { m_texts[command] = text; }
  wxString ItemText(unsigned command) const;  // "" when the map has none
  // A native popup menu of the entries, with texts from the map and the icons. wx menu ids
  // stay below 0x7FFF, so the tray's commands (0x8010...) are shifted: use the two mappers
  // (they round-trip commands below 0x0FFF and from 0x7FFF on). GTK needs a label: an item
  // without a text gets a blank.
  std::unique_ptr<wxMenu> BuildMenu(const std::vector<Entry>& entries) const;
  static int MenuIdOf(unsigned command);
  static unsigned CommandOf(int menuId);

  int m_phoneOnline = 0;

 private:
  std::map<unsigned, wxString> m_texts;
};
