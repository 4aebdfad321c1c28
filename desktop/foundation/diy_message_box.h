#pragma once
// The desktop program's only message box: a small skinned dialog with the message centred in
// its body and one (type 0: OK) or two (type 4: Yes, No) skinned buttons. Returns 1 for OK and
// Yes, 2 for No, the close button and Esc; Enter is control 1.
#include <string>

#include "desktop/foundation/diy_dialog.h"

class CColorButton;
class CDiyStatic;
class ILanguages;

constexpr int kMessageBoxOk = 0;
constexpr int kMessageBoxYesNo = 4;

struct MessageLayout {
  int x, y, height;
};
// Where the message goes: n = ceil(text width / control width) lines of (text height + 1),
// centred in the upper 193 pixels.
MessageLayout ComputeMessageLayout(int textWidth, int textHeight, int controlWidth);
// "\\n" in a language text is a line break.
std::wstring ExpandLineBreaks(const std::wstring& text);

class CDiyMessageBox : public CDiyDialog {
 public:
  CDiyMessageBox(ILanguages* languages, const std::wstring& text, const std::wstring& title,
                 int type, wxWindow* parent = nullptr);
  ~CDiyMessageBox() override;

  static constexpr int kMessageId = 1101;
  static constexpr int kMessageWidth = 301;

 protected:
  bool OnInitDialog() override;
  void OnMinimize() override {}

 private:
  std::wstring m_text;
  std::wstring m_title;
  int m_type;
  ILanguages* m_boxLanguages;
  CColorButton* m_ok = nullptr;
  CColorButton* m_cancel = nullptr;
  CDiyStatic* m_message = nullptr;
};

// Shows the box modally; the caller's thread must be the main thread.
int DiyMessageBox(ILanguages* languages, const std::wstring& text, const std::wstring& title,
                  int type, wxWindow* parent = nullptr);

// Makes RunMaybeElevated show its notice in this message box (titled UI/DIALOG_TITLE).
void InstallElevationNoticeBox();
