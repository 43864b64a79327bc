/* The executable of the smallest parent application. Launched by Launch
 * Services (open), the application is its own responsible process, so the
 * system-audio permission is asked for it, not for the terminal. It runs
 * its helper for SECONDS, stops it with SIGTERM (SIGKILL 3 s later) and
 * writes the helper's exit status, -1 when it did not exit by itself.
 * usage: NimbrelParent HELPER SECONDS STDOUT_FILE STDERR_FILE STATUS_FILE */
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char** argv) {
  if (argc != 6) return 2;
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  /* Not a pipe: the helper's end-of-input stop stays out of the way. */
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, 1, argv[3],
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&files, 2, argv[4],
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  char* args[] = {argv[1], NULL};
  pid_t helper;
  if (posix_spawn(&helper, argv[1], &files, NULL, args, environ) != 0) return 1;
  sleep((unsigned)atoi(argv[2]));
  kill(helper, SIGTERM);
  int status = 0;
  int waited = 0;
  for (int tick = 0; tick < 30 && waited == 0; tick++) {
    waited = waitpid(helper, &status, WNOHANG);
    if (waited == 0) usleep(100000);
  }
  if (waited == 0) {
    kill(helper, SIGKILL);
    waitpid(helper, &status, 0);
  }
  FILE* out = fopen(argv[5], "w");
  if (out == NULL) return 1;
  fprintf(out, "%d\n",
          waited > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return fclose(out) == 0 ? 0 : 1;
}
