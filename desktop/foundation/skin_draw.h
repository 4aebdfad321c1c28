#pragma once
// Drawing helpers shared by the skinned controls: the backdrop a child paints over (GTK cannot
// read window pixels back, so a skinned dialog hands its children its composed background),
// and single-line or wrapped text in a rectangle.
#include <wx/bitmap.h>
#include <wx/graphics.h>
#include <wx/window.h>

#include <wx/dcmemory.h>

#include <functional>
#include <memory>
#include <vector>

// A window that composes the background its children paint over (the skinned dialog).
class IBackdropSource {
 public:
  virtual ~IBackdropSource() = default;
  // The composed background under rect (client coordinates) in pixels of a skin scale (scale
  // times rect's size); invalid before it loads.
  virtual wxBitmap BackdropPixels(const wxRect& rect, double scale) = 0;
};

// The part of the parent's composed background under child (its client rectangle), in pixels
// of the skin scale (scale times the logical size, scale factor 1); when the parent is not an
// IBackdropSource, a bitmap of the parent's background colour.
wxBitmap ParentBackdrop(wxWindow* child, double scale = 1);

// Where a skinned control paints: the backdrop under it at the window's skin scale, with a
// graphics context in the control's logical coordinates; PaintOn puts it on the paint DC, so a
// HiDPI screen gets every pixel of the 2x pictures and of the text.
class SkinCanvas {
 public:
  // keepBackdrop: BackdropColour is asked for.
  explicit SkinCanvas(wxWindow* control, bool keepBackdrop = false);
  ~SkinCanvas();
  SkinCanvas(const SkinCanvas&) = delete;
  SkinCanvas& operator=(const SkinCanvas&) = delete;
  wxGraphicsContext& gc() { return *m_gc; }
  double Scale() const { return m_scale; }
  // The backdrop's colour at logical (x, y), read before anything is drawn over it.
  wxColour BackdropColour(int x, int y) const;
  void PaintOn(wxDC& dc);

 private:
  wxWindow* m_control;
  double m_scale;
  wxBitmap m_bitmap;
  wxImage m_backdrop;
  std::unique_ptr<wxMemoryDC> m_dc;
  std::unique_ptr<wxGraphicsContext> m_gc;
};

// Draws picture id at (x, y) in its natural size at the context's scale; false when it does not
// load. With a size, the picture is stretched to it keeping its corners (edge pixels wide).
bool DrawSkinPicture(wxGraphicsContext& gc, double scale, int id, double x, double y,
                     wxSize* natural = nullptr);
bool DrawSkinPictureSized(wxGraphicsContext& gc, double scale, int id, const wxRect& rect, int edge);

enum class TextAlign { Near, Center, Far };

struct TextFormat {
  TextAlign horizontal = TextAlign::Near;
  TextAlign vertical = TextAlign::Near;
  bool wrap = false;  // false: one line per text line
};

// Where EllipsizeText cuts: at the end, or in the middle keeping a path's last name whole
// where it fits (a folder is known by its own name, not by the root it starts from).
enum class EllipsisAt { End, Middle };

// text cut to fit width with an ellipsis at the end or in the middle; text itself when it fits.
wxString EllipsizeText(const wxString& text, double width,
                       const std::function<double(const wxString&)>& measure,
                       EllipsisAt where = EllipsisAt::End);

// Splits text into lines no wider than width (words where possible, else characters); each
// "\n" starts a new line. measure gives a text's width.
std::vector<wxString> WrapText(const wxString& text, double width,
                               const std::function<double(const wxString&)>& measure);

// Draws text into rect (clipped) with the font and colour already set on gc. A line wider than
// the rectangle, and the last line that fits when wrapped lines are more, end in an ellipsis.
void DrawTextInRect(wxGraphicsContext& gc, const wxString& text, const wxRect2DDouble& rect,
                    const TextFormat& format);
// Width and height of text in font as drawn by DrawTextInRect without wrapping.
wxSize MeasureText(const wxString& text, const wxFont& font);
