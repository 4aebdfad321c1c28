// Test main of the window tests: wx is started on this (the main) thread before the tests run;
// every widget call of the tests happens here. Listing the tests needs no display.
#include <wx/app.h>
#include <wx/image.h>

#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

namespace {

// A wx assertion is a failing test here, never a dialog that waits for a click.
void FailOnAssert(const wxString& file, int line, const wxString& func, const wxString& cond,
                  const wxString& msg) {
  ADD_FAILURE() << "wx assertion " << cond.ToStdString() << " in " << func.ToStdString() << " ("
                << file.ToStdString() << ":" << line << "): " << msg.ToStdString();
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--gtest_list_tests") == 0) return RUN_ALL_TESTS();
  wxSetAssertHandler(&FailOnAssert);
  wxApp::SetInstance(new wxApp());
  if (!wxEntryStart(argc, argv)) return 2;
  wxTheApp->CallOnInit();
  wxInitAllImageHandlers();
  const int rc = RUN_ALL_TESTS();
  wxTheApp->OnExit();
  wxEntryCleanup();
  return rc;
}
