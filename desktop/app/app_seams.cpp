#include "desktop/app/app_seams.h"

AppSeams& Seams() {
  static AppSeams seams;
  return seams;
}
