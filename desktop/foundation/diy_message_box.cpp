#include "desktop/foundation/diy_message_box.h"

#include "desktop/foundation/languages.h"
#include "desktop/foundation/skin_image.h"
#include "desktop/foundation/sys_utils.h"
#include "desktop/foundation/skin_buttons.h"
#include "desktop/foundation/skin_controls.h"
#include "desktop/foundation/text_encodings.h"

MessageLayout ComputeMessageLayout(int textWidth, int textHeight, int controlWidth) {
  const int n = controlWidth > 0 ? (textWidth + controlWidth - 1) / controlWidth : 1;
  const int height = (textHeight + 1) * n;
  return MessageLayout{27, (193 - height) / 2, height};
}

std::wstring ExpandLineBreaks(const std::wstring& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\\' && i + 1 < text.size() && text[i + 1] == L'n') {
      out.push_back(L'\n');
      ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

CDiyMessageBox::CDiyMessageBox(ILanguages* languages, const std::wstring& text,
                               const std::wstring& title, int type, wxWindow* parent)
    : CDiyDialog(parent, 105, 263, wxString(title.c_str())),
      m_text(ExpandLineBreaks(text)),
      m_title(title),
      m_type(type),
      m_boxLanguages(languages) {
  m_minimizeShown = 0;
  if (m_boxLanguages) m_boxLanguages->AddRef();
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { EndModal(1); }, 1);
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { EndModal(2); }, 2);
  Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) {
    if (IsModal()) EndModal(2);
    else Hide();
  });
}

CDiyMessageBox::~CDiyMessageBox() {
  if (m_boxLanguages) m_boxLanguages->Release();
}

bool CDiyMessageBox::OnInitDialog() {
  CDiyDialog::OnInitDialog();
  const wxFont font = MakeLanguageFont(m_boxLanguages, "FONT_MESSAGEBOX_BUTTON", false);
  m_message = new CDiyStatic(this, kMessageId, wxString(m_text.c_str()), wxPoint(27, 50),
                             wxSize(kMessageWidth, 74));
  if (font.IsOk()) m_message->SetTextFont(font);
  m_message->m_textColour = 0xFF000000;
  // Centred both ways; a message wider than the body wraps onto the lines laid out for it.
  m_message->SetStringFormat(TextFormat{TextAlign::Center, TextAlign::Center, true});
  const wxSize text = m_message->GetTextSize();
  const MessageLayout layout = ComputeMessageLayout(text.x, text.y, kMessageWidth);
  m_message->SetSize(layout.x, layout.y, kMessageWidth, layout.height);

  auto makeButton = [&](int id, const char* key) {
    auto* b = new CColorButton(this, id, wxPoint(0, 0), wxSize(73, 25));
    b->m_normalImage = 260;
    b->m_hoverImage = 260;
    b->m_pressedImage = 259;
    b->m_textColour = 0xFF434343;
    if (font.IsOk()) b->SetTextFont(font);
    b->SetText(m_boxLanguages ? wxString(m_boxLanguages->GetText("UI", key).c_str()) : wxString());
    return b;
  };
  // Placed by their centres: a button its caption widened stays where it belongs.
  auto place = [](CColorButton* b, int centre) { b->Move(centre - b->GetSize().x / 2, 160); };
  if (m_type == kMessageBoxYesNo) {
    m_ok = makeButton(1, "MSGBOX_BUTTON_YES");
    m_cancel = makeButton(2, "MSGBOX_BUTTON_NO");
    place(m_ok, 67 + 73 / 2);
    place(m_cancel, 200 + 73 / 2);
  } else {
    m_ok = makeButton(1, "MSGBOX_BUTTON_OK");
    place(m_ok, (ArtSize().x - 73) / 2 + 73 / 2);
  }
  return true;
}

int DiyMessageBox(ILanguages* languages, const std::wstring& text, const std::wstring& title,
                  int type, wxWindow* parent) {
  CDiyMessageBox box(languages, text, title, type, parent);
  box.CentreOnScreen();
  return box.ShowModal();
}

namespace {

void ShowElevationNotice(ILanguages* languages, const std::wstring& notice) {
  std::wstring text = notice;
  if (text.size() <= 1 && languages) text = languages->GetText("MESSAGEBOX", "MSGBOX_UAC");
  const std::wstring title = languages ? languages->GetText("UI", "DIALOG_TITLE") : L"Quarlo";
  DiyMessageBox(languages, text, title, kMessageBoxOk);
}

}  // namespace

void InstallElevationNoticeBox() { SetElevationNoticeHandler(&ShowElevationNotice); }
