// What the benchmarks share: the summary lines scripts/bench gathers into its
// table, the monotonic clock, and starting a built program over pipes.
#ifndef NIMBREL_BENCH_BENCH_SUPPORT_H_
#define NIMBREL_BENCH_BENCH_SUPPORT_H_

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace bench {

/// One row of the final table:
/// "summary<TAB>figure<TAB>value<TAB>target<TAB>met|missed".
inline void summary(const std::string& figure, const std::string& value,
                    const std::string& target, bool met) {
  std::printf("summary\t%s\t%s\t%s\t%s\n", figure.c_str(), value.c_str(),
              target.c_str(), met ? "met" : "missed");
  std::fflush(stdout);
}

inline std::string format(const char* pattern, double a, double b = 0,
                          double c = 0) {
  char text[256];
  std::snprintf(text, sizeof text, pattern, a, b, c);
  return text;
}

/// CLOCK_MONOTONIC in nanoseconds, the clock the simulated platform logs
/// cycle times on.
inline int64_t monotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

/// A program of this build (e.g. "tap/nimbrel-tap"): benchmarks live in
/// <build>/bench/.
inline std::string builtProgram(const std::string& relative) {
  char self[4096] = {};
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string path(self, n > 0 ? size_t(n) : 0);
  return path.substr(0, path.rfind("/bench/") + 1) + relative;
}

/// A running child with its standard streams on pipes (the parent's ends).
struct Child {
  pid_t pid = -1;
  int in = -1;
  int out = -1;
  int err = -1;
  std::string worldPath;  // the caller removes it
};

/// Starts `program` with `args` and its stdin, stdout and stderr on pipes.
/// `world`: the simulated world's JSON, or absent for the default machine
/// (NIMBREL_SIM_WORLD removed from the child's environment).
inline std::optional<Child> start(const std::string& program,
                                  const std::vector<std::string>& args,
                                  const std::optional<std::string>& world) {
  Child child;
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "NIMBREL_SIM_WORLD=", 18) != 0)
      environment.push_back(*e);
  }
  if (world) {
    char path[] = "/tmp/nimbrel-bench-world-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return std::nullopt;
    const bool written =
        write(fd, world->data(), world->size()) == ssize_t(world->size());
    close(fd);
    child.worldPath = path;
    if (!written) {
      unlink(path);
      return std::nullopt;
    }
    environment.push_back("NIMBREL_SIM_WORLD=" + child.worldPath);
  }
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argvText{program};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argvText) argv.push_back(a.data());
  argv.push_back(nullptr);

  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 ||
      pipe2(err, O_CLOEXEC) != 0) {
    return std::nullopt;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  const int spawned = posix_spawn(&child.pid, program.c_str(), &actions,
                                  nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  child.in = in[1];
  child.out = out[0];
  child.err = err[0];
  if (spawned != 0) {
    close(child.in);
    close(child.out);
    close(child.err);
    if (!child.worldPath.empty()) unlink(child.worldPath.c_str());
    return std::nullopt;
  }
  return child;
}

/// Closes the child's stdin, which stops either program, and waits for its
/// end; returns waitpid's status word.
inline int closeStdinAndWait(Child& child) {
  close(child.in);
  child.in = -1;
  int status = 0;
  while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
  }
  child.pid = -1;
  return status;
}

/// Closes the parent's ends of stdout and stderr once their readers are
/// done, and removes the world file.
inline void closeOutputs(Child& child) {
  close(child.out);
  close(child.err);
  if (!child.worldPath.empty()) unlink(child.worldPath.c_str());
}

}  // namespace bench

#endif  // NIMBREL_BENCH_BENCH_SUPPORT_H_
