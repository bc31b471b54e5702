/* peak_rss FILE COMMAND [ARG...]
 *
 * Runs COMMAND and writes its peak resident set size in KiB to FILE; exits with its exit code.
 * A child's ru_maxrss also counts the memory of the process it was forked from before its exec,
 * so COMMAND is started from this small program rather than from a large parent. */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: peak_rss FILE COMMAND [ARG...]\n");
    return 2;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    perror("peak_rss: fork");
    return 2;
  }
  if (pid == 0) {
    execvp(argv[2], argv + 2);
    perror("peak_rss: exec");
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) {
    perror("peak_rss: wait4");
    return 2;
  }
  FILE* out = fopen(argv[1], "w");
  if (out == NULL || fprintf(out, "%ld\n", usage.ru_maxrss) < 0 || fclose(out) != 0) {
    perror("peak_rss: writing the result");
    return 2;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}
