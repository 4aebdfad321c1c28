#include "desktop/foundation/skin_list.h"

#include <wx/dcbuffer.h>
#include <wx/graphics.h>
#include <wx/settings.h>

#include <algorithm>
#include <memory>

#include "desktop/foundation/skin_draw.h"
#include "desktop/foundation/skin_image.h"

int HeaderTextX(ColumnFormat format, int columnLeft, int columnWidth, int textWidth) {
  int x = columnLeft + 1;
  if (format == ColumnFormat::Right) x = columnLeft + columnWidth - textWidth - 1;
  if (format == ColumnFormat::Center) x = columnLeft + (columnWidth - textWidth) / 2;
  return std::max(x, columnLeft + 1);
}

int ClampColumnWidth(int resizeMode, int oldWidth, int wanted) {
  if (resizeMode == 1) return std::max(0, wanted);
  if (resizeMode == 2) return std::max(30, wanted);
  return oldWidth;
}

CQVHeaderCtrl::CQVHeaderCtrl(wxWindow* parent, int id) : wxWindow(parent, id) {
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  Bind(wxEVT_PAINT, &CQVHeaderCtrl::OnPaint, this);
  Bind(wxEVT_MOTION, [this](wxMouseEvent& e) {
    if (m_dragColumn >= 0 && e.Dragging()) {
      const int wanted = e.GetX() - ColumnLeft(m_dragColumn);
      int& width = m_widths[static_cast<size_t>(m_dragColumn)];
      width = ClampColumnWidth(m_resizeMode, width, wanted);
      Refresh(false);
      GetParent()->Refresh(false);
      return;
    }
    // No resize cursor while columns keep their widths.
    SetCursor(m_resizeMode != 0 && EdgeAt(e.GetX()) >= 0 ? wxCursor(wxCURSOR_SIZEWE) : wxNullCursor);
  });
  Bind(wxEVT_LEFT_DOWN, [this](wxMouseEvent& e) {
    m_dragColumn = m_resizeMode != 0 ? EdgeAt(e.GetX()) : -1;
    if (m_dragColumn >= 0) CaptureMouse();
  });
  Bind(wxEVT_LEFT_UP, [this](wxMouseEvent&) {
    m_dragColumn = -1;
    if (HasCapture()) ReleaseMouse();
  });
  Bind(wxEVT_MOUSE_CAPTURE_LOST, [this](wxMouseCaptureLostEvent&) { m_dragColumn = -1; });
}

void CQVHeaderCtrl::AddColumnInfo(const wxString& text, ColumnFormat format, int width) {
  m_texts.push_back(text);
  m_formats.push_back(format);
  m_ellipsis.push_back(EllipsisAt::End);
  m_widths.push_back(width);
  Refresh(false);
}

void CQVHeaderCtrl::SetColumnText(int column, const wxString& text) {
  if (column >= 0 && column < ColumnCount()) m_texts[static_cast<size_t>(column)] = text;
  Refresh(false);
}

void CQVHeaderCtrl::SetEllipsis(int column, EllipsisAt where) {
  if (column >= 0 && column < ColumnCount()) m_ellipsis[static_cast<size_t>(column)] = where;
}

int CQVHeaderCtrl::ColumnLeft(int column) const {
  int x = 0;
  for (int c = 0; c < column && c < ColumnCount(); ++c) x += m_widths[static_cast<size_t>(c)];
  return x;
}

int CQVHeaderCtrl::EdgeAt(int x) const {
  for (int c = 0; c < ColumnCount(); ++c) {
    const int edge = ColumnLeft(c) + m_widths[static_cast<size_t>(c)];
    if (x >= edge - 3 && x <= edge + 3) return c;
  }
  return -1;
}

void CQVHeaderCtrl::OnPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  const wxSize size = GetClientSize();
  dc.SetBackground(*wxWHITE_BRUSH);
  dc.Clear();
  wxImage strip;
  if (!LoadPngResource(strip, 391)) return;  // without its picture the header stays empty
  std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(dc));
  const wxBitmap piece(strip.Scale(std::max(1, size.x), m_headerHeight), 32);
  gc->DrawBitmap(piece, 0, 0, size.x, m_headerHeight);
  const int top = 0, bottom = m_headerHeight;
  if (m_textColour != kNoColour && m_font.IsOk()) {
    gc->SetFont(m_font, ArgbColour(static_cast<uint32_t>(m_textColour)));
    for (int c = 0; c < ColumnCount(); ++c) {
      // A title wider than its column ends in an ellipsis rather than being cut.
      const wxString text = EllipsizeText(m_texts[static_cast<size_t>(c)], ColumnWidth(c) - 4,
                                          [this](const wxString& s) { return MeasureText(s, m_font).x; });
      const wxSize t = MeasureText(text, m_font);
      const int x = HeaderTextX(m_formats[static_cast<size_t>(c)], ColumnLeft(c), ColumnWidth(c), t.x);
      gc->PushState();
      gc->Clip(ColumnLeft(c), top, ColumnWidth(c), bottom);
      gc->DrawText(text, x, (m_headerHeight - t.y) / 2);
      gc->PopState();
    }
  }
  auto line = [&gc](int64_t colour, double x1, double y1, double x2, double y2) {
    if (colour == kNoColour) return;
    gc->SetPen(wxPen(ArgbColour(static_cast<uint32_t>(colour)), 1));
    gc->StrokeLine(x1 + 0.5, y1 + 0.5, x2 + 0.5, y2 + 0.5);
  };
  line(m_leftBorder, 0, top + 2, 0, bottom - 2);
  line(m_rightBorder, size.x - 1, top + 2, size.x - 1, bottom - 1);
  line(m_topLine, 0, top, size.x, top);
  line(m_bottomLine, 0, bottom - 2, size.x, bottom - 2);
  for (int c = 1; c < ColumnCount(); ++c) line(m_separator, ColumnLeft(c), top, ColumnLeft(c), bottom);
  if (ColumnCount() > 0) {
    const int right = ColumnLeft(ColumnCount());
    line(m_separator, right, top, right, bottom);
  }
  line(m_frameLines, 0, top, size.x, top);
  line(m_frameLines, 0, bottom - 1, size.x, bottom - 1);
}

namespace {

class ListBody : public wxVListBox {
 public:
  ListBody(CQVListCtrl* owner, int rowHeight)
      : wxVListBox(owner, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxBORDER_NONE),
        m_owner(owner), m_rowHeight(rowHeight) {
    SetBackgroundColour(*wxWHITE);
  }
  void SetRowHeight(int h) {
    m_rowHeight = h;
    RefreshAll();
  }

 protected:
  wxCoord OnMeasureItem(size_t) const override { return m_rowHeight; }
  void OnDrawBackground(wxDC& dc, const wxRect& rect, size_t n) const override {
    dc.SetPen(*wxTRANSPARENT_PEN);
    dc.SetBrush(wxBrush(IsSelected(n) ? wxSystemSettings::GetColour(wxSYS_COLOUR_HIGHLIGHT)
                                      : GetBackgroundColour()));
    dc.DrawRectangle(rect);
  }
  void OnDrawItem(wxDC& dc, const wxRect& rect, size_t n) const override {
    CQVHeaderCtrl* header = m_owner->Header();
    dc.SetTextForeground(IsSelected(n) ? wxSystemSettings::GetColour(wxSYS_COLOUR_HIGHLIGHTTEXT)
                                       : *wxBLACK);
    dc.SetFont(GetFont());
    const int image = m_owner->GetItemImage(static_cast<int>(n));
    const std::vector<int>& images = m_owner->SmallImages();
    for (int c = 0; c < header->ColumnCount(); ++c) {
      // The body sits one pixel (its border) right of the header: a cell starting at the
      // column's left puts the text under the title (column left + 1, or right - 1).
      wxRect cell(header->ColumnLeft(c), rect.y, m_owner->TextWidth(c), rect.height);
      if (c == 0 && !images.empty()) {
        // The row's picture stands before the name, centred in the row's height.
        if (image >= 0 && static_cast<size_t>(image) < images.size()) {
          wxImage picture;
          if (LoadPngResource(picture, images[static_cast<size_t>(image)], SkinScale(this))) {
            const double scale = SkinScale(this);
            const int w = static_cast<int>(picture.GetWidth() / scale), h = static_cast<int>(picture.GetHeight() / scale);
            std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::CreateFromUnknownDC(dc));
            if (gc) gc->DrawBitmap(wxBitmap(picture, 32), cell.x, rect.y + (rect.height - h) / 2, w, h);
          }
        }
        cell.x += CQVListCtrl::kImageSpace;
      }
      const ColumnFormat f = header->Format(c);
      const int align = (f == ColumnFormat::Right ? wxALIGN_RIGHT
                         : f == ColumnFormat::Center ? wxALIGN_CENTER_HORIZONTAL
                                                     : wxALIGN_LEFT) | wxALIGN_CENTER_VERTICAL;
      // A text wider than its cell ends (or, for paths, breaks in the middle) in an ellipsis
      // rather than being cut through a letter.
      const wxString text = m_owner->DisplayedText(static_cast<int>(n), c);
      wxDCClipper clip(dc, cell);
      dc.DrawLabel(text, cell, align);
    }
  }

 private:
  CQVListCtrl* m_owner;
  int m_rowHeight;
};

}  // namespace

CQVListCtrl::CQVListCtrl(wxWindow* parent, int id, const wxPoint& pos, const wxSize& size)
    : wxWindow(parent, id, pos, size, wxBORDER_NONE) {
  m_header = new CQVHeaderCtrl(this, wxID_ANY);
  m_body = new ListBody(this, m_rowHeight);
  Bind(wxEVT_SIZE, [this](wxSizeEvent&) { Layout2(); });
  // The border is drawn around the rows in the border colour.
  Bind(wxEVT_PAINT, [this](wxPaintEvent&) {
    wxPaintDC dc(this);
    dc.SetPen(wxPen(ArgbColour(m_borderColour | 0xFF000000u)));
    dc.SetBrush(*wxTRANSPARENT_BRUSH);
    dc.DrawRectangle(wxRect(GetClientSize()));
  });
  Layout2();
}

void CQVListCtrl::Layout2() {
  const wxSize size = GetClientSize();
  m_header->SetSize(0, 0, size.x, m_header->m_headerHeight);
  m_body->SetSize(1, m_header->m_headerHeight, std::max(0, size.x - 2),
                  std::max(0, size.y - m_header->m_headerHeight - 1));
}

int CQVListCtrl::InsertColumn(int index, const wxString& text, ColumnFormat format, int width) {
  m_header->AddColumnInfo(text, format, width);  // columns are appended in call order
  for (auto& row : m_rows) row.resize(static_cast<size_t>(m_header->ColumnCount()));
  (void)index;
  return m_header->ColumnCount() - 1;
}

void CQVListCtrl::SetRowHeight(int height) {
  m_rowHeight = height;
  static_cast<ListBody*>(m_body)->SetRowHeight(height);
}

void CQVListCtrl::SetColumnEllipsis(int column, EllipsisAt where) {
  m_header->SetEllipsis(column, where);
  m_body->RefreshAll();
}

int CQVListCtrl::InsertItem(int row, const wxString& text) {
  const int at = row < 0 || row > GetItemCount() ? GetItemCount() : row;
  std::vector<wxString> cells(static_cast<size_t>(std::max(1, m_header->ColumnCount())));
  cells[0] = text;
  m_rows.insert(m_rows.begin() + at, cells);
  m_rowImages.insert(m_rowImages.begin() + at, -1);
  m_body->SetItemCount(m_rows.size());
  m_body->RefreshAll();
  return at;
}

void CQVListCtrl::SetItemText(int row, int column, const wxString& text) {
  if (row < 0 || row >= GetItemCount() || column < 0) return;
  auto& cells = m_rows[static_cast<size_t>(row)];
  if (static_cast<size_t>(column) >= cells.size()) cells.resize(static_cast<size_t>(column) + 1);
  cells[static_cast<size_t>(column)] = text;
  m_body->RefreshRow(static_cast<size_t>(row));
}

wxString CQVListCtrl::GetItemText(int row, int column) const {
  if (row < 0 || row >= GetItemCount() || column < 0) return wxString();
  const auto& cells = m_rows[static_cast<size_t>(row)];
  return static_cast<size_t>(column) < cells.size() ? cells[static_cast<size_t>(column)] : wxString();
}

bool CQVListCtrl::DeleteItem(int row) {
  if (row < 0 || row >= GetItemCount()) return false;
  m_rows.erase(m_rows.begin() + row);
  m_rowImages.erase(m_rowImages.begin() + row);
  m_body->SetItemCount(m_rows.size());
  m_body->RefreshAll();
  return true;
}

void CQVListCtrl::DeleteAllItems() {
  m_rows.clear();
  m_rowImages.clear();
  m_body->SetItemCount(0);
  m_body->RefreshAll();
}

void CQVListCtrl::SetItemImage(int row, int image) {
  if (row < 0 || row >= GetItemCount()) return;
  m_rowImages[static_cast<size_t>(row)] = image;
  m_body->RefreshRow(static_cast<size_t>(row));
}

int CQVListCtrl::GetItemImage(int row) const {
  return row < 0 || row >= GetItemCount() ? -1 : m_rowImages[static_cast<size_t>(row)];
}

int CQVListCtrl::TextWidth(int column) const {
  if (column < 0 || column >= m_header->ColumnCount()) return 0;
  const int image = column == 0 && !m_images.empty() ? kImageSpace : 0;
  return std::max(0, m_header->ColumnWidth(column) - 2 - image);
}

wxString CQVListCtrl::DisplayedText(int row, int column) const {
  // Measured as the rows are drawn: in the body's own font.
  return EllipsizeText(GetItemText(row, column), TextWidth(column),
                       [this](const wxString& s) { return m_body->GetTextExtent(s).x; },
                       m_header->Ellipsis(column));
}

int CQVListCtrl::GetSelection() const { return m_body->GetSelection(); }
void CQVListCtrl::SetSelection(int row) { m_body->SetSelection(row); }

std::string CQVListCtrl::RowText(int row, int column) const {
  return GetItemText(row, column).ToStdString(wxConvUTF8);
}

void CQVListCtrl::InsertRow(int position, const std::string& name, const std::string& path) {
  const int at = InsertItem(position, wxString::FromUTF8(name));
  SetItemText(at, 1, wxString::FromUTF8(path));
}
