#pragma once
// Drawing helpers shared by the skinned controls: the backdrop a child paints over (GTK cannot
// read window pixels back, so a skinned dialog hands its children its composed background),
// and single-line or wrapped text in a rectangle.
#include <wx/bitmap.h>
#include <wx/graphics.h>
#include <wx/window.h>

#include <functional>
#include <vector>

// The part of the parent's composed background under child (its client rectangle); when the
// parent is not a skinned dialog, a bitmap of the parent's background colour.
wxBitmap ParentBackdrop(wxWindow* child);

enum class TextAlign { Near, Center, Far };

struct TextFormat {
  TextAlign horizontal = TextAlign::Near;
  TextAlign vertical = TextAlign::Near;
  bool wrap = false;  // false: one line per text line, cut at the rectangle
};

// Splits text into lines no wider than width (words where possible, else characters); each
// "\n" starts a new line. measure gives a text's width.
std::vector<wxString> WrapText(const wxString& text, double width,
                               const std::function<double(const wxString&)>& measure);

// Draws text into rect (clipped) with the font and colour already set on gc.
void DrawTextInRect(wxGraphicsContext& gc, const wxString& text, const wxRect2DDouble& rect,
                    const TextFormat& format);
// Width and height of text in font as drawn by DrawTextInRect without wrapping.
wxSize MeasureText(const wxString& text, const wxFont& font);
