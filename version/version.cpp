// The build's version and revision from the header version_stamp.cmake writes at every build.
#include "version/version.h"

#include "version_stamp.h"  // PAGOLINTH_VERSION_NUMBER, PAGOLINTH_REVISION_TEXT, ..._FROM_GIT

const char* pagolinth_version() {
  return PAGOLINTH_VERSION_NUMBER;
}

const char* pagolinth_revision() {
  return PAGOLINTH_REVISION_TEXT;
}

bool pagolinth_revision_known() {
  return PAGOLINTH_REVISION_FROM_GIT != 0;
}

const char* pagolinth_version_line() {
  static const std::string line = pagolinth_version_text("pagolinth");
  return line.c_str();
}

std::string pagolinth_version_text(const std::string& program) {
  return program + " " + PAGOLINTH_VERSION_NUMBER + ", revision " + PAGOLINTH_REVISION_TEXT;
}
