// The version of pagolinth and the source revision this build was made from, as every program
// prints them for --version and audit records carry them. Set when the program is built.
#pragma once

#include <string>  // std::string

// The project version, e.g. "0.1.0".
const char* pagolinth_version();

// The source revision: the output of `git describe --always --dirty` for a build from a git
// checkout (a "-dirty" suffix when files differed from the commit), otherwise a sentence that
// says there is none ("none: built outside a git checkout") or why it is unknown.
const char* pagolinth_revision();

// True when pagolinth_revision() names a commit.
bool pagolinth_revision_known();

// "pagolinth 0.1.0, revision 567018d1a2b3" (or "..., revision none: built outside a git
// checkout"): one line without a newline, for reports and records.
const char* pagolinth_version_line();

// The --version text of one program: "PROGRAM 0.1.0, revision ...", one line without a
// newline. `program` is any string.
std::string pagolinth_version_text(const std::string& program);
