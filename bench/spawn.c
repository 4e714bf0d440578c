/* Runs one program and writes "<seconds> <peak RSS KiB> <exit status> <CPU
   seconds>" to the file named first (CPU: user and system time of the child
   and of the descendants it waited for). bench/run starts its programs
   through this small process because the peak memory a child reports
   includes the memory of the process it was started from until its exec:
   started straight from Python, every program would show Python's own
   size. */
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static void wake(int sig) { (void)sig; }

int main(int argc, char** argv) {
  if (argc < 4) return 127;
  const unsigned limit = (unsigned)atoi(argv[2]);
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  pid_t pid = fork();
  if (pid < 0) return 127;
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    execvp(argv[3], argv + 3);
    _exit(127);
  }
  /* A child still running after `limit` seconds is killed: the wait has an end. */
  struct sigaction on_alarm = {0};
  on_alarm.sa_handler = wake;
  sigaction(SIGALRM, &on_alarm, NULL); /* no SA_RESTART: wait4 returns EINTR */
  alarm(limit);
  int status = 0;
  struct rusage usage;
  while (wait4(pid, &status, 0, &usage) < 0) {
    kill(pid, SIGKILL);
  }
  clock_gettime(CLOCK_MONOTONIC, &t1);
  FILE* out = fopen(argv[1], "w");
  if (!out) return 127;
  const double cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                     (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  fprintf(out, "%.6f %ld %d %.6f\n", (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9,
          usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), cpu);
  return fclose(out) == 0 ? 0 : 127;
}
