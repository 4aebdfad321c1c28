#pragma once
// The skinned report list: a header painted over a picture strip (columns, lines and colours
// of the owner's choosing, three resize modes) above a wxVListBox with 25-pixel rows. GTK's
// list control cannot be owner-drawn, hence a header and rows of our own.
#include <wx/vlbox.h>

#include <cstdint>
#include <string>
#include <vector>

#include "desktop/foundation/share_list.h"
#include "desktop/foundation/skin_draw.h"

enum class ColumnFormat { Left, Right, Center };

// x of a header text: aligned by the column's letter, never left of column left + 1.
int HeaderTextX(ColumnFormat format, int columnLeft, int columnWidth, int textWidth);
// The width a column may take while it is dragged: mode 0 keeps it, 2 keeps 30 at least.
int ClampColumnWidth(int resizeMode, int oldWidth, int wanted);

class CQVHeaderCtrl : public wxWindow {
 public:
  static constexpr int kNoColour = -1;
  CQVHeaderCtrl(wxWindow* parent, int id);
  void AddColumnInfo(const wxString& text, ColumnFormat format, int width);
  void SetHeaderFont(const wxFont& font) { m_font = font; Refresh(false); }
  int ColumnCount() const { return static_cast<int>(m_texts.size()); }
  int ColumnLeft(int column) const;
  int ColumnWidth(int column) const { return m_widths[static_cast<size_t>(column)]; }
  ColumnFormat Format(int column) const { return m_formats[static_cast<size_t>(column)]; }
  // Where the column's cell texts that do not fit are cut.
  EllipsisAt Ellipsis(int column) const { return m_ellipsis[static_cast<size_t>(column)]; }
  void SetEllipsis(int column, EllipsisAt where);
  void SetColumnText(int column, const wxString& text);

  int m_headerHeight = 27;
  // Line and text colours (ARGB); kNoColour leaves the line or text out.
  int64_t m_leftBorder = kNoColour, m_separator = kNoColour, m_rightBorder = kNoColour,
          m_topLine = kNoColour, m_bottomLine = kNoColour, m_textColour = kNoColour,
          m_frameLines = kNoColour;
  int m_resizeMode = 0;

 private:
  void OnPaint(wxPaintEvent& event);
  int EdgeAt(int x) const;  // the column whose right edge is near x, or -1
  std::vector<wxString> m_texts;
  std::vector<ColumnFormat> m_formats;
  std::vector<EllipsisAt> m_ellipsis;
  std::vector<int> m_widths;
  wxFont m_font;
  int m_dragColumn = -1;
};

class CQVListCtrl : public wxWindow, public IShareList {
 public:
  static constexpr int kImageSpace = 17;  // a 13-pixel row picture and its gap
  CQVListCtrl(wxWindow* parent, int id, const wxPoint& pos, const wxSize& size);
  int InsertColumn(int index, const wxString& text, ColumnFormat format, int width);
  void SetRowHeight(int height = 25);
  // Path columns cut in the middle so the folder's own name stays in sight.
  void SetColumnEllipsis(int column, EllipsisAt where);
  int InsertItem(int row, const wxString& text);
  void SetItemText(int row, int column, const wxString& text);
  wxString GetItemText(int row, int column) const;
  bool DeleteItem(int row);
  void DeleteAllItems();
  int GetItemCount() const { return static_cast<int>(m_rows.size()); }
  int GetSelection() const;
  void SetSelection(int row);
  CQVHeaderCtrl* Header() { return m_header; }
  wxVListBox* Body() { return m_body; }
  // The small images of the rows (skin PNG ids by index, as an image list holds them), drawn
  // at the start of column 0; a row shows the image of its index, none for -1.
  void SetSmallImages(const std::vector<int>& pngIds) { m_images = pngIds; }
  const std::vector<int>& SmallImages() const { return m_images; }
  void SetItemImage(int row, int image);
  int GetItemImage(int row) const;
  // A cell's text as it is drawn in the cell's width (with an ellipsis when it does not fit).
  wxString DisplayedText(int row, int column) const;
  // The width a cell's text may take in column (the column less its margins and its image).
  int TextWidth(int column) const;

  // IShareList, paths in UTF-8.
  int RowCount() const override { return GetItemCount(); }
  std::string RowText(int row, int column) const override;
  void InsertRow(int position, const std::string& name, const std::string& path) override;
  void DeleteRow(int row) override { DeleteItem(row); }

  uint32_t m_borderColour = 0xFFD7D7D7;

 private:
  void Layout2();
  CQVHeaderCtrl* m_header;
  wxVListBox* m_body;
  std::vector<std::vector<wxString>> m_rows;
  std::vector<int> m_rowImages;  // by row, -1 none
  std::vector<int> m_images;
  int m_rowHeight = 25;
};
