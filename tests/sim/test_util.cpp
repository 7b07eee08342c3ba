#include "test_util.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace oxsim_test {
namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

ProbeResult RunProbe(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  // Start from this environment, minus anything the test overrides or removes.
  std::vector<std::string> vars;
  for (char** e = environ; *e; ++e) {
    const std::string var = *e;
    bool overridden = false;
    for (const std::string& o : env) {
      const std::string name = o.substr(0, o.find('='));
      if (var.compare(0, name.size() + 1, name + "=") == 0) overridden = true;
    }
    if (!overridden) vars.push_back(var);
  }
  for (const std::string& o : env)
    if (o.find('=') != std::string::npos) vars.push_back(o);

  char out_path[] = "/tmp/oxsim_probe_outXXXXXX";
  char err_path[] = "/tmp/oxsim_probe_errXXXXXX";
  const int out_fd = mkstemp(out_path);
  const int err_fd = mkstemp(err_path);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  posix_spawn_file_actions_adddup2(&actions, err_fd, 2);

  std::vector<std::string> argv_s = {OX_PROBE_PATH};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (std::string& a : argv_s) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  for (std::string& v : vars) envp.push_back(&v[0]);
  envp.push_back(nullptr);

  ProbeResult result;
  pid_t pid = 0;
  if (posix_spawn(&pid, OX_PROBE_PATH, &actions, nullptr, argv.data(), envp.data()) == 0) {
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
  }
  posix_spawn_file_actions_destroy(&actions);
  close(out_fd);
  close(err_fd);
  result.out = Slurp(out_path);
  result.err = Slurp(err_path);
  unlink(out_path);
  unlink(err_path);
  return result;
}

int CountLines(const std::string& text) {
  int n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

}  // namespace oxsim_test
