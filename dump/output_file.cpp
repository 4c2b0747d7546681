// Staged outputs: a temporary file in the target's folder, synced and renamed when complete;
// removed on failure, at Ctrl-C and on termination.
#include "dump/output_file.h"

#include <csignal>     // std::signal, std::raise, SIGINT, SIGTERM
#include <cstring>     // std::strncpy
#include <filesystem>  // std::filesystem
#include <random>      // std::random_device

#include "platform/platform.h"  // platform_sync

namespace fs = std::filesystem;

namespace {

// The temporary file that a signal should take away; plain storage, for the handler.
char g_pending_temp[4096];
volatile std::sig_atomic_t g_pending = 0;

void on_signal(int sig) {
  if (g_pending)
    std::remove(g_pending_temp);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

void track(const std::string& temp) {
  static bool installed = false;
  if (!installed) {
    installed = true;
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
  }
  g_pending = 0;
  std::strncpy(g_pending_temp, temp.c_str(), sizeof g_pending_temp - 1);
  g_pending = temp.size() < sizeof g_pending_temp ? 1 : 0;
}

void untrack() {
  g_pending = 0;
}

}  // namespace

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

staged_output::~staged_output() {
  if (temp_path.empty())
    return;
  file.reset();
  std::error_code ec;
  fs::remove(fs::u8path(temp_path), ec);
  untrack();
}

std::string stage_output(staged_output& out, const std::string& path, const std::string& input,
                         bool force) {
  std::error_code ec;
  const fs::path target = fs::u8path(path);
  if (fs::exists(target, ec)) {
    if (same_file(path, input))
      return path + " is the input; the input is never written to";
    // An empty file holds nothing to lose: the dialogue leaves an empty Dump_New.bin, the
    // default output of fix, beside every dump it walks.
    const bool empty_file =
        fs::is_regular_file(target, ec) && fs::file_size(target, ec) == 0 && !ec;
    if (!force && !empty_file)
      return path + " exists already; use --force to replace it";
    if (fs::is_directory(target, ec))
      return path + " is a folder";
  }
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string temp = path + ".part-" + std::to_string(random() % 1000000000u);
    if (fs::exists(fs::u8path(temp), ec))
      continue;
    out.file.reset(std::fopen(temp.c_str(), "wb"));
    if (!out.file)
      return "cannot create a file beside " + path;
    out.final_path = path;
    out.temp_path = temp;
    track(temp);
    return "";
  }
  return "cannot find a free temporary name beside " + path;
}

std::string commit_output(staged_output& out) {
  bool ok = out.file && std::fflush(out.file.get()) == 0 && platform_sync(out.file.get());
  ok = close_checked(out.file) && ok;
  if (!ok)
    return "cannot write " + out.final_path + " (disk full?)";
  std::error_code ec;
  fs::rename(fs::u8path(out.temp_path), fs::u8path(out.final_path), ec);
  if (ec)
    return "cannot rename the finished output to " + out.final_path + ": " + ec.message();
  out.temp_path.clear();
  untrack();
  return "";
}
