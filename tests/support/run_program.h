// Test support: scratch folders and running a built program as a child process, with a
// given standard input (a file, not a terminal) and its standard output captured.
#pragma once

#include <fcntl.h>     // open
#include <sys/wait.h>  // waitpid
#include <unistd.h>    // fork, execv, dup2, chdir

#include <cstdlib>     // std::getenv, mkdtemp
#include <filesystem>  // std::filesystem
#include <fstream>     // std::ifstream, std::ofstream
#include <iterator>    // std::istreambuf_iterator
#include <string>      // std::string
#include <vector>      // std::vector

// A fresh folder under the temporary directory, removed with everything in it.
class scratch_dir {
 public:
  scratch_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/pagolinth-test-XXXXXX";
    if (mkdtemp(tmpl.data()) != nullptr)
      path_ = tmpl;
  }
  ~scratch_dir() {
    std::error_code ignored;
    if (!path_.empty())
      std::filesystem::remove_all(path_, ignored);
  }
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

struct program_result {
  int exit_status = -1;  // the status it exited with, or -1 when a signal ended it
  int signal = 0;        // the signal that ended it, or 0
  std::string out;       // everything it wrote to standard output
  std::string err;       // everything it wrote to standard error
};

// Runs `program` with `args` in folder `cwd`, `input` as its whole standard input.
inline program_result run_program(const std::string& program, const std::string& cwd,
                                  const std::string& input,
                                  const std::vector<std::string>& args = {}) {
  program_result result;
  scratch_dir io;
  const std::string in_path = io.file("stdin");
  const std::string out_path = io.file("stdout");
  const std::string err_path = io.file("stderr");
  write_file(in_path, input);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open(in_path.c_str(), O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
        chdir(cwd.c_str()) != 0)
      _exit(127);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid) {
    if (WIFEXITED(status))
      result.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status))
      result.signal = WTERMSIG(status);
  }
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}
