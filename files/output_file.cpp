// Output names checked before anything is written, and staged outputs: a new temporary file
// in the target's folder, synced and renamed when complete; removed on failure and (through the
// platform's signal handler) when a fatal signal ends the process.
#include "files/output_file.h"

#include <algorithm>     // std::find, std::transform
#include <cctype>        // std::islower, std::tolower
#include <cerrno>        // errno, EEXIST, ENOENT
#include <cstring>       // std::strerror
#include <filesystem>    // std::filesystem
#include <random>        // std::random_device
#include <system_error>  // std::generic_category, std::errc

#include "platform/platform.h"  // platform_create_new, platform_open_regular, platform_sync,
                                // platform_track_temp, platform_fseek64

namespace fs = std::filesystem;

namespace {

// The longest file name (one path component) the usual file systems take, in bytes.
constexpr std::size_t kNameMax = 255;
// ".part-", the longest pid (10 digits), "-", 8 hex digits.
constexpr std::size_t kSuffixReserve = 6 + 10 + 1 + 8;
constexpr std::size_t kHashLength = 1 + 8;  // "~" and 8 hex digits

// The temporary files this process has staged and not yet committed or removed: a leftover
// with this process's id is one of them or, after an id was reused, an old one.
std::vector<std::string> g_live_temps;

std::string hex8(std::uint32_t v) {
  static const char digits[] = "0123456789abcdef";
  std::string text(8, '0');
  for (int i = 7; i >= 0; --i, v >>= 4)
    text[static_cast<std::size_t>(i)] = digits[v & 0xF];
  return text;
}

std::uint32_t fnv1a(const std::string& text) {
  std::uint32_t h = 2166136261u;
  for (unsigned char c : text) {
    h ^= c;
    h *= 16777619u;
  }
  return h;
}

// What precedes ".part-" in every temporary name of `final_name`.
std::string temp_stem(const std::string& final_name) {
  if (final_name.size() + kSuffixReserve <= kNameMax)
    return final_name;
  std::size_t cut = kNameMax - kSuffixReserve - kHashLength;
  while (cut > 0 && (static_cast<unsigned char>(final_name[cut]) & 0xC0) == 0x80)
    --cut;  // not inside a UTF-8 character
  return final_name.substr(0, cut) + "~" + hex8(fnv1a(final_name));
}

// The name as the user gave it, with another file name in the same folder.
std::string beside(const fs::path& path, const std::string& name) {
  return (path.parent_path() / fs::u8path(name)).u8string();
}

fs::path folder_of(const fs::path& path) {
  return path.parent_path().empty() ? fs::path(".") : path.parent_path();
}

std::string kind_word(fs::file_type type) {
  switch (type) {
    case fs::file_type::block:
      return "a block device";
    case fs::file_type::character:
      return "a character device";
    case fs::file_type::fifo:
      return "a FIFO";
    case fs::file_type::socket:
      return "a socket";
    default:
      return "not a regular file";
  }
}

// The name compared when it does not exist yet: absolute, normalised, links of the folders
// resolved.
std::string normal_name(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::absolute(fs::u8path(path), ec), ec);
  if (ec)
    p = fs::absolute(fs::u8path(path), ec).lexically_normal();
  std::string text = p.u8string();
#ifdef _WIN32
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
#endif
  return text;
}

bool exists_at_all(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(fs::u8path(path), ec));
}

bool names_same(const std::string& a, const std::string& b) {
  if (exists_at_all(a) && exists_at_all(b))
    return same_file(a, b);
  return normal_name(a) == normal_name(b);
}

void forget_live(const std::string& temp) {
  const auto at = std::find(g_live_temps.begin(), g_live_temps.end(), temp);
  if (at != g_live_temps.end())
    g_live_temps.erase(at);
}

// Removes the temporary file and stops tracking it.
void discard(staged_output& out) {
  out.file.reset();
  if (out.temp_path.empty())
    return;
  std::error_code ec;
  fs::remove(fs::u8path(out.temp_path), ec);
  platform_untrack_temp(out.slot);
  forget_live(out.temp_path);
  out.slot = -1;
  out.temp_path.clear();
}

// Lists the temporary files of other runs beside `path`; removes those whose maker is gone.
void sweep_leftovers(const fs::path& path, std::vector<leftover_temp>& found) {
  const std::string final_name = path.filename().u8string();
  const long self = platform_process_id();
  std::error_code ec;
  fs::directory_iterator it(folder_of(path), ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().u8string();
    leftover_temp l;
    if (!parse_temp_name(name, final_name, l.pid))
      continue;
    l.path = beside(path, name);
    const bool mine =
        std::find(g_live_temps.begin(), g_live_temps.end(), l.path) != g_live_temps.end();
    l.maker_gone = l.pid == self ? !mine : platform_process_gone(l.pid);
    std::error_code status_ec;
    if (l.maker_gone && fs::is_regular_file(fs::symlink_status(it->path(), status_ec))) {
      std::error_code remove_ec;
      l.removed = fs::remove(it->path(), remove_ec) && !remove_ec;
    }
    found.push_back(l);
  }
}

}  // namespace

status open_dump(const std::string& path, file_ptr& file, std::int64_t& bytes) {
  std::error_code ec;
  const fs::file_status status = fs::status(fs::u8path(path), ec);
  if (status.type() == fs::file_type::not_found)
    return status::error(path + ": no such file");
  if (ec)
    return status::error(path + ": " + ec.message());
  if (status.type() == fs::file_type::directory)
    return status::error(path + " is a directory, not a dump");
  if (status.type() != fs::file_type::regular)
    return status::error(
        path + " is not a regular file (a device, FIFO or socket); give the dump as a file");
  // Opened so that it is still a regular file when open: a name swapped for a FIFO since the
  // look above would otherwise block here.
  int error = 0;
  std::string other;
  file.reset(platform_open_regular(path, error, other));
  if (!file && !other.empty())
    return status::error(path + " is " + other + ", not a regular file; give the dump as a file");
  if (!file)
    return status::error("cannot open " + path + ": " + std::strerror(error));
  if (platform_fseek64(file.get(), 0, SEEK_END) != 0 ||
      (bytes = platform_ftell64(file.get())) < 0 || platform_fseek64(file.get(), 0, SEEK_SET) != 0)
    return status::error("cannot measure " + path);
  return status::success();
}

bool close_checked(file_ptr& f) {
  if (!f)
    return true;
  const bool ok = std::ferror(f.get()) == 0;
  return std::fclose(f.release()) == 0 && ok;
}

bool same_file(const std::string& a, const std::string& b) {
  std::error_code ec;
  return fs::equivalent(fs::u8path(a), fs::u8path(b), ec) && !ec;
}

std::string error_text(int error) {
  return error_text(std::error_code(error, std::generic_category()));
}

std::string error_text(const std::error_code& error) {
  std::string text = error.message();
  // "Permission denied" reads as part of a sentence; "I/O error" keeps its capitals.
  if (text.size() > 1 && std::islower(static_cast<unsigned char>(text[1])))
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

std::string write_failure(const std::string& name, int error) {
  return "cannot write " + name + ": " + error_text(error);
}

status check_output_path(const std::string& path, const std::string& input, bool force,
                         const std::string& hint) {
  if (path.empty())
    return status::error("an output needs a file name");
  const fs::path target = fs::u8path(path);
  const std::string name = target.filename().u8string();
  if (name.empty() || name == "." || name == "..")
    return status::error(path + " names a folder, not a file");
  std::error_code ec;
  const fs::file_status st = fs::symlink_status(target, ec);
  if (ec && st.type() != fs::file_type::not_found)
    return status::error("cannot examine " + path + ": " + error_text(ec));
  switch (st.type()) {
    case fs::file_type::not_found:
      if (name.size() > kNameMax)
        return status::error("cannot create " + path + ": " + error_text(ENAMETOOLONG));
      return status::success();
    case fs::file_type::symlink:
      return status::error(
          path +
          " is a symbolic link; outputs are never written through links (remove it or name "
          "another file)");
    case fs::file_type::directory:
      return status::error(path + " is a folder");
    case fs::file_type::regular:
      break;
    default:
      return status::error(path + " is " + kind_word(st.type()) +
                           "; an output must be a regular file or a new name" +
                           (hint.empty() ? "" : " (" + hint + ")"));
  }
  if (!input.empty() && same_file(path, input))
    return status::error(path + " is the input; the input is never written to");
  // An empty file holds nothing to lose: the dialogue leaves an empty Dump_New.bin, the
  // default output of fix, beside every dump it walks.
  const auto size = fs::file_size(target, ec);
  if (!force && (ec || size != 0))
    return status::error(path + " exists already; use --force to replace it");
  return status::success();
}

status check_output_names(const std::vector<named_output>& outputs, const std::string& input) {
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const named_output& a = outputs[i];
    if (a.path.empty() || a.path == "-")
      continue;
    if (!input.empty() && names_same(a.path, input))
      return status::error(a.path + " (" + a.option +
                           ") is the input; the input is never written to");
    for (std::size_t j = i + 1; j < outputs.size(); ++j) {
      const named_output& b = outputs[j];
      if (b.path.empty() || b.path == "-")
        continue;
      if (names_same(a.path, b.path)) {
        return status::error(a.option + " " + a.path + " and " + b.option + " " + b.path +
                             " are the same file; each output needs one of its own");
      }
    }
  }
  return status::success();
}

std::string temp_name(const std::string& final_name, long pid, std::uint32_t tag) {
  return temp_stem(final_name) + ".part-" + std::to_string(pid) + "-" + hex8(tag);
}

bool parse_temp_name(const std::string& name, const std::string& final_name, long& pid) {
  const std::string head = temp_stem(final_name) + ".part-";
  if (name.size() <= head.size() || name.compare(0, head.size(), head) != 0)
    return false;
  const std::string rest = name.substr(head.size());
  const std::size_t dash = rest.find('-');
  if (dash == 0 || dash == std::string::npos || dash > 10 || rest.size() != dash + 1 + 8)
    return false;
  long value = 0;
  for (std::size_t i = 0; i < dash; ++i) {
    if (rest[i] < '0' || rest[i] > '9')
      return false;
    value = value * 10 + (rest[i] - '0');
  }
  for (std::size_t i = dash + 1; i < rest.size(); ++i) {
    const char c = rest[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
      return false;
  }
  pid = value;
  return true;
}

staged_output::~staged_output() {
  discard(*this);
}

status stage_output(staged_output& out, const std::string& path, const std::string& input,
                    bool force, const std::string& hint) {
  if (status checked = check_output_path(path, input, force, hint); !checked.ok())
    return checked;
  const fs::path target = fs::u8path(path);
  sweep_leftovers(target, out.leftovers);
  const std::string final_name = target.filename().u8string();
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string temp = beside(target, temp_name(final_name, platform_process_id(), random()));
    int error = 0;
    out.file.reset(platform_create_new(temp, error));
    if (!out.file && error == EEXIST)
      continue;
    if (!out.file) {
      std::error_code ec;
      if (error == ENOENT && !fs::is_directory(folder_of(target), ec))
        return status::error("cannot create " + path + ": the folder " +
                             folder_of(target).u8string() + " does not exist");
      return status::error("cannot create a file beside " + path + ": " + error_text(error));
    }
    out.final_path = path;
    out.temp_path = temp;
    out.input = input;
    out.force = force;
    out.hint = hint;
    out.slot = platform_track_temp(temp);
    g_live_temps.push_back(temp);
    return status::success();
  }
  return status::error("cannot find a free temporary name beside " + path);
}

status commit_output(staged_output& out) {
  if (out.temp_path.empty())
    return status::error("nothing was staged for " + out.final_path);
  bool ok = true;
  int error = 0;
  if (out.file) {
    ok = platform_sync(out.file.get());
    error = errno;
    if (!close_checked(out.file) && ok) {
      ok = false;
      error = errno;
    }
  } else {
    // Taken over and closed by its writer, which reported its own write errors: the data
    // still has to reach the disk before the rename makes it the output.
    file_ptr again(std::fopen(out.temp_path.c_str(), "r+b"));
    ok = again && platform_sync(again.get());
    error = errno;
  }
  if (!ok) {
    discard(out);
    return status::error(write_failure(out.final_path, error));
  }
  if (status checked = check_output_path(out.final_path, out.input, out.force, out.hint);
      !checked.ok()) {
    discard(out);
    return checked;
  }
  std::error_code ec;
  fs::rename(fs::u8path(out.temp_path), fs::u8path(out.final_path), ec);
  if (ec) {
    discard(out);
    return status::error("cannot rename the finished output to " + out.final_path + ": " +
                         error_text(ec));
  }
  // Untracked only now: a signal just before the rename still removes the temporary file, and
  // one after it finds the name gone.
  platform_untrack_temp(out.slot);
  forget_live(out.temp_path);
  out.slot = -1;
  out.temp_path.clear();
  return status::success();
}
