// verify-audit: the files an audit record names hashed again, one line each naming the file
// hashed, with a line more where it was not found beside the record or does not match.
#include "commands/commands.h"

#include <algorithm>  // std::max
#include <string>     // std::string

namespace {

// The indent of the lines that say more about an entry, under its path.
const std::string kNote = "         ";

}  // namespace

verify_outcome run_verify_audit(const verify_request& q) {
  verify_outcome r;
  std::vector<std::string> skipped;
  r.error = audit_verify(q.record, r.files, skipped);
  if (!r.error.ok())
    return r;
  r.verified = true;
  for (const audit_check& c : r.files) {
    std::string role = c.role + ":";
    role.resize(std::max<std::size_t>(role.size(), 7), ' ');
    r.lines.push_back(role + " " +
                      (c.problem == audit_problem::none      ? "matches"
                       : c.problem == audit_problem::changed ? "CHANGED"
                       : c.problem == audit_problem::missing ? "MISSING"
                                                             : "UNREADABLE") +
                      "  " + c.path);
    // A record travels with its case folder: a file found only elsewhere has no copy in the
    // folder (lost in a copy, or kept elsewhere, as an input may be), which is worth a line.
    if (c.place == audit_place::absolute)
      r.lines.push_back(kNote +
                        "no copy beside the record; found only at the recorded absolute path");
    else if (c.place == audit_place::working_folder)
      r.lines.push_back(kNote + "no copy beside the record; found only from the working folder");
    if (c.problem == audit_problem::none)
      continue;
    r.verified = false;
    if (c.problem == audit_problem::missing) {
      for (const std::string& name : c.also_tried)
        r.lines.push_back(kNote + "not at " + name + " either");
    } else if (c.problem == audit_problem::changed) {
      r.lines.push_back(kNote + "recorded sha256 " + c.recorded);
      r.lines.push_back(kNote + "now      sha256 " + c.found);
    } else {
      r.lines.push_back(kNote + c.why);
    }
  }
  for (const std::string& line : skipped)
    r.lines.push_back("note:   " + line);
  r.lines.push_back(r.verified ? "verified: every file the record names is as recorded"
                               : "NOT verified: a file the record names differs from the record");
  return r;
}
