// verify-audit: the files an audit record names hashed again, one line each.
#include "commands/commands.h"

#include <algorithm>  // std::max

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
    if (c.problem == audit_problem::none) {
      r.lines.push_back(role + " matches  " + c.path);
      continue;
    }
    r.verified = false;
    r.lines.push_back(role + " " +
                      (c.problem == audit_problem::changed   ? "CHANGED"
                       : c.problem == audit_problem::missing ? "MISSING"
                                                             : "UNREADABLE") +
                      "  " + c.path);
    if (c.problem == audit_problem::changed) {
      r.lines.push_back("         recorded sha256 " + c.recorded);
      r.lines.push_back("         now      sha256 " + c.found);
    } else if (c.problem == audit_problem::unreadable) {
      r.lines.push_back("         " + c.why);
    }
  }
  for (const std::string& line : skipped)
    r.lines.push_back("note:   " + line);
  r.lines.push_back(r.verified ? "verified: every file the record names is as recorded"
                               : "NOT verified: a file the record names differs from the record");
  return r;
}
